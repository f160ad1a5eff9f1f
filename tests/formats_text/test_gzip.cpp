// gzip: round trips, multi-member streams and the errors for damaged input.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/gzip.hpp"

using namespace quorin_data;
using namespace quorin_data::formats;

namespace {

std::vector<std::uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<std::uint8_t> gz(const std::string& s, int level = 6) {
  return gzip_compress(reinterpret_cast<const std::uint8_t*>(s.data()), s.size(), level);
}

std::string text(const std::vector<std::uint8_t>& v) { return {v.begin(), v.end()}; }

std::string stream_all(const std::vector<std::uint8_t>& in, std::size_t step,
                       GzipStream::ReadAhead mode = GzipStream::ReadAhead::Auto) {
  GzipStream s(in.data(), in.size(), "mem", mode);
  std::string out;
  std::vector<std::uint8_t> buf(step);
  for (;;) {
    const std::size_t n = s.read(buf.data(), buf.size());
    if (n == 0) break;
    out.append(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
  }
  return out;
}

// The message of the FormatError thrown by `f`, checked to name the source.
template <class F>
std::string format_error(F f, const std::string& source) {
  try {
    f();
  } catch (const FormatError& e) {
    EXPECT_EQ(e.source(), source);
    EXPECT_EQ(e.format(), "gzip");
    return e.what();
  }
  ADD_FAILURE() << "no FormatError";
  return {};
}

std::string random_text(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, ' ');
  for (auto& c : s) c = static_cast<char>('a' + rng() % 7);
  return s;
}

}  // namespace

TEST(Gzip, RoundTripWholeAndStreamed) {
  for (std::size_t n : {0u, 1u, 100u, 70000u, 1000000u}) {
    const std::string s = random_text(n, static_cast<unsigned>(n));
    const auto z = gz(s);
    EXPECT_TRUE(looks_like_gzip(z.data(), z.size()));
    EXPECT_EQ(text(gunzip(z.data(), z.size(), "x")), s) << n;
    EXPECT_EQ(stream_all(z, 1), n < 100000 ? s : stream_all(z, 4096)) << n;
    EXPECT_EQ(stream_all(z, 4096), s) << n;
  }
}

TEST(Gzip, MultiMemberConcatenated) {
  auto a = gz("first member\n"), b = gz(""), c = gz(random_text(200000, 3), 1);
  std::vector<std::uint8_t> all = a;
  all.insert(all.end(), b.begin(), b.end());
  all.insert(all.end(), c.begin(), c.end());
  const std::string want = "first member\n" + random_text(200000, 3);
  EXPECT_EQ(text(gunzip(all.data(), all.size(), "m")), want);
  EXPECT_EQ(stream_all(all, 777), want);
}

TEST(Gzip, BadHeaderNamesSourceAndOffset) {
  const auto plain = bytes("a,b\n1,2\n");
  auto m = format_error([&] { gunzip(plain.data(), plain.size(), "s3://b/k.csv"); }, "s3://b/k.csv");
  EXPECT_NE(m.find("at byte 0"), std::string::npos) << m;
  EXPECT_NE(m.find("bad gzip header"), std::string::npos) << m;
  m = format_error([&] { GzipStream s(plain.data(), plain.size(), "src"); std::uint8_t b[8]; s.read(b, 8); }, "src");
  EXPECT_NE(m.find("bad gzip header"), std::string::npos) << m;

  auto z = gz("hello");
  z[2] = 9;  // compression method other than deflate
  m = format_error([&] { gunzip(z.data(), z.size(), "k"); }, "k");
  EXPECT_NE(m.find("byte"), std::string::npos) << m;

  const std::vector<std::uint8_t> empty;
  m = format_error([&] { gunzip(empty.data(), 0, "e"); }, "e");
  EXPECT_NE(m.find("empty input"), std::string::npos) << m;
}

TEST(Gzip, TruncatedAtEveryLength) {
  const auto z = gz(random_text(3000, 9));
  for (std::size_t n = 1; n < z.size(); ++n) {
    auto m = format_error([&] { gunzip(z.data(), n, "t"); }, "t");
    EXPECT_NE(m.find("at byte"), std::string::npos) << n;
  }
  const auto m = format_error([&] { gunzip(z.data(), z.size() - 3, "t"); }, "t");
  EXPECT_NE(m.find("truncated"), std::string::npos) << m;
  EXPECT_NE(m.find("byte " + std::to_string(z.size() - 3)), std::string::npos) << m;
}

TEST(Gzip, ChecksumAndLengthMismatch) {
  auto z = gz("some text to check");
  auto crc = z;
  crc[crc.size() - 8] ^= 0xff;
  auto m = format_error([&] { gunzip(crc.data(), crc.size(), "c"); }, "c");
  EXPECT_NE(m.find("CRC-32 mismatch"), std::string::npos) << m;
  m = format_error([&] { stream_all(crc, 5); }, "mem");
  EXPECT_NE(m.find("CRC-32 mismatch"), std::string::npos) << m;

  auto len = z;
  len[len.size() - 1] ^= 0x01;
  m = format_error([&] { gunzip(len.data(), len.size(), "l"); }, "l");
  EXPECT_NE(m.find("length mismatch"), std::string::npos) << m;
}

TEST(Gzip, TrailingGarbageIsAnError) {
  auto z = gz("payload");
  const std::size_t end = z.size();
  z.push_back('x');
  z.push_back('y');
  auto m = format_error([&] { gunzip(z.data(), z.size(), "g"); }, "g");
  EXPECT_NE(m.find("trailing garbage"), std::string::npos) << m;
  EXPECT_NE(m.find("at byte " + std::to_string(end)), std::string::npos) << m;
  m = format_error([&] { stream_all(z, 64); }, "mem");
  EXPECT_NE(m.find("trailing garbage"), std::string::npos) << m;
  // A second member that starts but is cut short.
  auto two = gz("a");
  auto b = gz("bbbbbbbb");
  two.insert(two.end(), b.begin(), b.begin() + 12);
  m = format_error([&] { gunzip(two.data(), two.size(), "g2"); }, "g2");
  EXPECT_NE(m.find("truncated"), std::string::npos) << m;
}

TEST(Gzip, HeaderCrcCheckedOnEveryPath) {
  // A member with FHCRC whose header checksum is wrong (found by fuzzing:
  // the whole-buffer path once accepted it while streaming refused it).
  const std::vector<std::uint8_t> bad = {0x1f, 0x8b, 0x08, 0x03, 0xf7, 0x20, 0x00, 0x3d, 0x00, 0x0d, 0x00, 0x00, 0xf9,
                                         0x00, 0x00, 0xff, 0xff, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  auto m = format_error([&] { gunzip(bad.data(), bad.size(), "h"); }, "h");
  EXPECT_NE(m.find("header crc mismatch"), std::string::npos) << m;
  m = format_error([&] { stream_all(bad, 7); }, "mem");
  EXPECT_NE(m.find("header crc mismatch"), std::string::npos) << m;
  // A correct header CRC reads on both paths.
  auto z = gz("with a header checksum");
  z[3] |= 0x02;
  const std::uint32_t crc = static_cast<std::uint32_t>(crc32(0, z.data(), 10));
  const std::uint8_t c16[2] = {static_cast<std::uint8_t>(crc & 0xff), static_cast<std::uint8_t>((crc >> 8) & 0xff)};
  z.insert(z.begin() + 10, c16, c16 + 2);
  EXPECT_EQ(text(gunzip(z.data(), z.size(), "ok")), "with a header checksum");
  EXPECT_EQ(stream_all(z, 5), "with a header checksum");
}

TEST(Gzip, LyingTrailerSizeDoesNotMatter) {
  // A trailer claiming 4 GiB must not drive the output allocation; the data
  // still fails its length check.
  auto z = gz("abc");
  for (int i = 1; i <= 4; ++i) z[z.size() - static_cast<std::size_t>(i)] = 0xff;
  auto m = format_error([&] { gunzip(z.data(), z.size(), "big"); }, "big");
  EXPECT_NE(m.find("length mismatch"), std::string::npos) << m;
}

// The read-ahead thread must hand out exactly the bytes and errors of the
// inline decoder, across block boundaries and member boundaries.
TEST(GzipReadAhead, SameBytesAsInline) {
  using RA = GzipStream::ReadAhead;
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  for (std::size_t n : {std::size_t{0}, std::size_t{1}, kMiB - 1, kMiB, kMiB + 1, 4 * kMiB, 9 * kMiB + 12345}) {
    const std::string s = random_text(n, static_cast<unsigned>(n + 1));
    const auto z = gz(s, 1);
    for (std::size_t step : {std::size_t{4096}, kMiB + 7, 3 * kMiB}) {
      EXPECT_EQ(stream_all(z, step, RA::On), s) << n << " step " << step;
    }
    if (n < 2 * kMiB) {
      EXPECT_EQ(stream_all(z, 1, RA::On), s) << n;
    }
  }
  // Members of several blocks each, with an empty one between.
  const std::string a = random_text(3 * kMiB + 5, 11), c = random_text(2 * kMiB, 12);
  auto all = gz(a, 1);
  for (const auto& part : {gz(""), gz(c, 1)}) all.insert(all.end(), part.begin(), part.end());
  EXPECT_EQ(stream_all(all, 65536, RA::On), a + c);
  EXPECT_EQ(stream_all(all, 65536, RA::Off), a + c);
}

TEST(GzipReadAhead, ErrorsMatchInlineAfterEarlierBlocks) {
  using RA = GzipStream::ReadAhead;
  const std::string s = random_text(6 * (std::size_t{1} << 20), 21);
  const auto z = gz(s, 1);
  auto message = [](const std::vector<std::uint8_t>& in, RA mode, std::size_t& delivered) {
    GzipStream st(in.data(), in.size(), "big", mode);
    std::vector<std::uint8_t> buf(1 << 16);
    delivered = 0;
    try {
      for (;;) {
        const std::size_t got = st.read(buf.data(), buf.size());
        if (got == 0) return std::string("no error");
        delivered += got;
      }
    } catch (const FormatError& e) {
      // A second read after the error fails again rather than ending cleanly.
      EXPECT_THROW(st.read(buf.data(), buf.size()), FormatError);
      return std::string(e.what());
    }
  };
  auto crc = z;
  crc[crc.size() - 8] ^= 0xff;
  auto garbage = z;
  garbage.push_back('x');
  const std::vector<std::uint8_t> cut(z.begin(), z.begin() + static_cast<std::ptrdiff_t>(z.size() * 2 / 3));
  for (const std::vector<std::uint8_t>* bad : std::initializer_list<const std::vector<std::uint8_t>*>{&crc, &garbage, &cut}) {
    std::size_t on = 0, off = 0;
    const std::string m_on = message(*bad, RA::On, on);
    const std::string m_off = message(*bad, RA::Off, off);
    EXPECT_EQ(m_on, m_off);
    EXPECT_NE(m_on, "no error");
    // Whole blocks decoded before the fault reach the reader first.
    EXPECT_GT(on, std::size_t{1} << 20) << m_on;
  }
}

TEST(GzipReadAhead, DestroyedMidStreamOrUnread) {
  using RA = GzipStream::ReadAhead;
  const auto z = gz(random_text(12 * (std::size_t{1} << 20), 31), 1);
  { GzipStream st(z.data(), z.size(), "x", RA::On); }
  {
    GzipStream st(z.data(), z.size(), "x", RA::On);
    std::uint8_t b[10];
    EXPECT_EQ(st.read(b, sizeof b), sizeof b);
  }
  // Auto picks read-ahead for large inputs; the bytes are the same.
  std::size_t total = 0;
  GzipStream st(z.data(), z.size(), "x");
  std::vector<std::uint8_t> buf(1 << 20);
  while (const std::size_t got = st.read(buf.data(), buf.size())) total += got;
  EXPECT_EQ(total, 12 * (std::size_t{1} << 20));
}

TEST(Gzip, OutputStopsAtTheConfiguredLimit) {
  const std::size_t before = set_gzip_output_limit(1 << 20);
  const std::string mib(1 << 20, 'z');
  // Exactly at the limit reads; one byte more (one member or across two) fails.
  EXPECT_EQ(gunzip(gz(mib).data(), gz(mib).size(), "mem").size(), mib.size());
  EXPECT_EQ(stream_all(gz(mib), 4096).size(), mib.size());
  auto two = gz(mib.substr(1));
  const auto second = gz("zz");
  two.insert(two.end(), second.begin(), second.end());
  for (const auto& in : {gz(mib + "z"), two}) {
    for (auto mode : {GzipStream::ReadAhead::Off, GzipStream::ReadAhead::On})
      EXPECT_NE(format_error([&] { stream_all(in, 65536, mode); }, "mem").find("more than 1048576 bytes"),
                std::string::npos);
    EXPECT_NE(format_error([&] { gunzip(in.data(), in.size(), "mem"); }, "mem").find("more than 1048576 bytes"),
              std::string::npos);
  }
  // A bomb (16 KiB standing for 16 MiB) stops at the limit.
  const auto bomb = gz(std::string(std::size_t{16} << 20, '\0'), 9);
  EXPECT_NE(format_error([&] { gunzip(bomb.data(), bomb.size(), "mem"); }, "mem").find("gzip output limit"),
            std::string::npos);
  EXPECT_THROW(set_gzip_output_limit(0), ValueError);
  set_gzip_output_limit(before);
}

TEST(GzipPulled, SameBytesAndErrorsAsOverTheWholeBuffer) {
  using RA = GzipStream::ReadAhead;
  // The outcome of reading all of `in`: the text, or the error message.
  auto outcome = [](GzipStream& s) {
    std::string out;
    std::vector<std::uint8_t> buf(1000);
    try {
      for (std::size_t n; (n = s.read(buf.data(), buf.size())) > 0;) out.append(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
    } catch (const FormatError& e) {
      return std::string("error: ") + e.what();
    }
    return out;
  };
  auto pulled = [&](const std::vector<std::uint8_t>& in, std::size_t piece, RA mode) {
    std::size_t at = 0;
    try {
      GzipStream s(
          [&](std::uint8_t* out, std::size_t cap) {
            const std::size_t n = std::min({cap, piece, in.size() - at});
            if (n > 0) std::memcpy(out, in.data() + at, n);
            at += n;
            return n;
          },
          "mem", mode);
      return outcome(s);
    } catch (const FormatError& e) {
      return std::string("error: ") + e.what();
    }
  };
  auto whole = [&](const std::vector<std::uint8_t>& in) {
    try {
      GzipStream s(in.data(), in.size(), "mem", RA::Off);
      return outcome(s);
    } catch (const FormatError& e) {
      return std::string("error: ") + e.what();
    }
  };
  auto big = gz(random_text(700000, 3));
  const auto second = gz("second member");
  big.insert(big.end(), second.begin(), second.end());
  auto crc = gz(random_text(5000, 4));
  crc[crc.size() - 8] ^= 0xff;
  auto garbage = gz("payload");
  garbage.insert(garbage.end(), 300000, 'x');
  const std::vector<std::vector<std::uint8_t>> inputs = {
      big, {big.begin(), big.begin() + 400000}, {big.begin(), big.end() - 3}, crc, garbage, bytes("not gzip"), {}};
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const std::string expected = whole(inputs[i]);
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{65536}})
      for (RA mode : {RA::Off, RA::On}) {
        if (piece == 1 && inputs[i].size() > 10000) continue;  // byte by byte only where it stays quick
        const std::string got = pulled(inputs[i], piece, mode);
        EXPECT_EQ(got.size(), expected.size()) << "input " << i << " piece " << piece;
        EXPECT_TRUE(got == expected) << "input " << i << " piece " << piece << ": " << got.substr(0, 200);
      }
  }
  // The source's own failure propagates as it is.
  EXPECT_THROW(GzipStream([](std::uint8_t*, std::size_t) -> std::size_t { throw TransportError("cut"); }, "m"),
               TransportError);
}

// Header fields (extra, name, comment, header CRC) and trailers read across
// every split of the input as a download hands it over, member after member.
TEST(Gzip, HeaderFieldsAndTrailersAcrossPulledPieces) {
  auto with_fields = [](const std::string& s) {
    auto z = gz(s);
    std::vector<std::uint8_t> head(z.begin(), z.begin() + 10);
    head[3] = 0x04 | 0x08 | 0x10 | 0x02;
    const std::uint8_t fields[] = {3, 0, 'x', 'y', 'z', 'n', 'a', 'm', 'e', 0, 'c', 0};
    head.insert(head.end(), fields, fields + sizeof fields);
    const auto crc = static_cast<std::uint32_t>(crc32(0, head.data(), static_cast<uInt>(head.size())));
    head.push_back(static_cast<std::uint8_t>(crc & 0xff));
    head.push_back(static_cast<std::uint8_t>((crc >> 8) & 0xff));
    head.insert(head.end(), z.begin() + 10, z.end());
    return head;
  };
  const std::string a = random_text(70000, 5), b = "second member\n";
  auto all = with_fields(a);
  for (const auto& part : {gz(""), with_fields(b)}) all.insert(all.end(), part.begin(), part.end());
  for (std::size_t piece : {1u, 7u, 4096u}) {
    std::size_t at = 0;
    GzipStream s(
        [&](std::uint8_t* out, std::size_t cap) {
          const std::size_t n = std::min({cap, piece, all.size() - at});
          std::memcpy(out, all.data() + at, n);
          at += n;
          return n;
        },
        "pulled", GzipStream::ReadAhead::Off);
    std::string out;
    std::uint8_t buf[5000];
    for (std::size_t n; (n = s.read(buf, 1 + piece % sizeof buf)) > 0;) out.append(buf, buf + n);
    EXPECT_EQ(out, a + b) << piece;
  }
  EXPECT_EQ(stream_all(all, 3), a + b);
  // A name that never ends is a truncated member.
  auto z = gz("x");
  std::vector<std::uint8_t> open_name(z.begin(), z.begin() + 10);
  open_name[3] = 0x08;
  open_name.insert(open_name.end(), 50, 'n');
  const auto m = format_error([&] { stream_all(open_name, 8); }, "mem");
  EXPECT_NE(m.find("truncated"), std::string::npos) << m;
}
