// The schema: top-level fields as columns, and how each leaf's physical,
// logical and converted types become a Frame column type.
#include "reader_internal.hpp"

namespace quorin_data::formats::pq {

namespace {

// Classifies a leaf column from its physical, logical and converted types.
void classify(const quorin_pq::SchemaElement& e, ColumnDesc& d) {
  auto bad = [&](const std::string& why) { d.unsupported = why; };
  d.phys = e.type;
  d.type_length = e.__isset.type_length ? e.type_length : 0;
  const auto& lt = e.logicalType;
  const bool has_lt = e.__isset.logicalType;
  const int ct = e.__isset.converted_type ? e.converted_type : -1;
  auto set = [&](Kind k, DType t) {
    d.kind = k;
    d.dtype = t;
  };
  auto unit_of = [&](const quorin_pq::TimeUnit& u) -> std::int64_t {
    if (u.__isset.MILLIS) return 1000000;
    if (u.__isset.MICROS) return 1000;
    if (u.__isset.NANOS) return 1;
    return 0;
  };
  const int p = d.phys;
  if (p < kBoolean || p > kFixed) return bad("physical type " + std::to_string(p) + " is not known");
  if (p == kFixed && (d.type_length <= 0 || d.type_length > (1 << 20)))
    return bad("FIXED_LEN_BYTE_ARRAY without a valid length");
  auto decimal = [&](int scale) {
    if (p != kInt32 && p != kInt64 && p != kFixed && p != kByteArray)
      return bad("DECIMAL on physical type " + std::to_string(p));
    if (scale < 0 || scale > 76) return bad("DECIMAL scale out of range");
    d.scale = scale;
    set(Kind::Decimal, DType::Float64);
  };
  auto integer = [&](int bits, bool is_signed) {
    if (p == kInt32 && bits <= 32) return set(is_signed ? Kind::Int32 : Kind::UInt32, DType::Int64);
    if (p == kInt64 && bits == 64) return set(is_signed ? Kind::Int64 : Kind::UInt64, DType::Int64);
    bad("INTEGER(" + std::to_string(bits) + ") on physical type " + std::to_string(p));
  };
  if (has_lt) {
    if (lt.__isset.STRING || lt.__isset.ENUM || lt.__isset.JSON || lt.__isset.BSON) {
      if (p != kByteArray && p != kFixed) return bad("text logical type on a non-byte-array column");
      return set(Kind::Bytes, DType::Text);
    }
    if (lt.__isset.UUID) {
      if (p != kFixed || d.type_length != 16) return bad("UUID not stored in 16 bytes");
      return set(Kind::Uuid, DType::Text);
    }
    if (lt.__isset.DECIMAL) return decimal(lt.DECIMAL.scale);
    if (lt.__isset.DATE) {
      if (p != kInt32) return bad("DATE not stored as INT32");
      return set(Kind::Date32, DType::Date);
    }
    if (lt.__isset.TIMESTAMP) {
      d.unit_ns = unit_of(lt.TIMESTAMP.unit);
      if (p != kInt64 || !d.unit_ns) return bad("TIMESTAMP without INT64 storage or a known unit");
      d.tz = lt.TIMESTAMP.isAdjustedToUTC ? "UTC" : "";
      return set(Kind::Timestamp64, DType::Timestamp);
    }
    if (lt.__isset.TIME) {
      d.unit_ns = unit_of(lt.TIME.unit);
      if (!d.unit_ns || (p == kInt32) != (d.unit_ns == 1000000) || (p != kInt32 && p != kInt64))
        return bad("TIME with an unknown unit or storage");
      return set(Kind::Time, DType::Time);
    }
    if (lt.__isset.INTEGER) return integer(lt.INTEGER.bitWidth, lt.INTEGER.isSigned);
    if (lt.__isset.FLOAT16) {
      if (p != kFixed || d.type_length != 2) return bad("FLOAT16 not stored in 2 bytes");
      return set(Kind::Float16, DType::Float64);
    }
    if (lt.__isset.MAP || lt.__isset.LIST) return bad("nested type (list or map)");
    if (lt.__isset.VARIANT) return bad("VARIANT type");
    if (lt.__isset.GEOMETRY || lt.__isset.GEOGRAPHY) return bad("geospatial type");
    // UNKNOWN (always null) and types unknown to us fall through to the physical type.
  }
  switch (ct) {
    case cUtf8: case cEnum: case cJson: case cBson:
      if (p != kByteArray && p != kFixed) return bad("text converted type on a non-byte-array column");
      return set(Kind::Bytes, DType::Text);
    case cDecimal: return decimal(e.__isset.scale ? e.scale : 0);
    case cDate:
      if (p != kInt32) return bad("DATE not stored as INT32");
      return set(Kind::Date32, DType::Date);
    case cTimestampMillis: case cTimestampMicros:
      if (p != kInt64) return bad("TIMESTAMP not stored as INT64");
      d.unit_ns = ct == cTimestampMillis ? 1000000 : 1000;
      d.tz = "UTC";  // the legacy annotation means UTC-adjusted instants
      return set(Kind::Timestamp64, DType::Timestamp);
    case cTimeMillis: case cTimeMicros:
      if ((ct == cTimeMillis && p != kInt32) || (ct == cTimeMicros && p != kInt64))
        return bad("TIME with the wrong storage");
      d.unit_ns = ct == cTimeMillis ? 1000000 : 1000;
      return set(Kind::Time, DType::Time);
    case cUint8: return integer(8, false);
    case cUint16: return integer(16, false);
    case cUint32: return integer(32, false);
    case cUint64: return integer(64, false);
    case cInt8: return integer(8, true);
    case cInt16: return integer(16, true);
    case cInt32: return integer(32, true);
    case cInt64: return integer(64, true);
    case cInterval: return bad("INTERVAL type");
    case cMap: case cMapKeyValue: case cList: return bad("nested type (list or map)");
    default: break;
  }
  switch (p) {
    case kBoolean: return set(Kind::Bool, DType::Bool);
    case kInt32: return set(Kind::Int32, DType::Int64);
    case kInt64: return set(Kind::Int64, DType::Int64);
    case kInt96: return set(Kind::Int96, DType::Timestamp);
    case kFloat: return set(Kind::Float, DType::Float64);
    case kDouble: return set(Kind::Double, DType::Float64);
    default: return set(Kind::Bytes, DType::Text);
  }
}

// Counts the leaves under schema element `i` and returns the index after its subtree.
std::size_t skip_subtree(const std::vector<quorin_pq::SchemaElement>& s, std::size_t i, int& leaves,
                         const Place& place, int depth = 0) {
  if (i >= s.size()) place.fail("schema ends inside a group");
  if (depth > 64) place.fail("schema nested too deeply");
  const auto& e = s[i];
  if (!e.__isset.num_children || e.num_children <= 0 || e.__isset.type) {
    ++leaves;
    return i + 1;
  }
  std::size_t j = i + 1;
  for (int k = 0; k < e.num_children; ++k) j = skip_subtree(s, j, leaves, place, depth + 1);
  return j;
}

}  // namespace

int describe_columns(const std::vector<quorin_pq::SchemaElement>& s, std::vector<ColumnDesc>& columns,
                     Place& place) {
  const int nchildren = s[0].__isset.num_children ? s[0].num_children : 0;
  std::size_t i = 1;
  int leaf = 0;
  place.where = "schema";
  for (int c = 0; c < nchildren; ++c) {
    if (i >= s.size()) place.fail("schema lists fewer columns than its root declares");
    const auto& e = s[i];
    ColumnDesc d;
    d.name = e.name;
    d.leaf = leaf;
    const bool group = !e.__isset.type && e.__isset.num_children && e.num_children > 0;
    if (group) {
      const bool is_list = (e.__isset.converted_type && e.converted_type == cList) ||
                           (e.__isset.logicalType && e.logicalType.__isset.LIST);
      const bool is_map = (e.__isset.converted_type && (e.converted_type == cMap || e.converted_type == cMapKeyValue)) ||
                          (e.__isset.logicalType && e.logicalType.__isset.MAP);
      d.unsupported = std::string("nested column (") + (is_list ? "list" : is_map ? "map" : "struct") +
                      ") is not supported";
      int leaves = 0;
      i = skip_subtree(s, i, leaves, place);
      leaf += leaves;
    } else {
      if (!e.__isset.type) d.unsupported = "column without a physical type";
      else classify(e, d);
      if (!d.unsupported.empty()) d.unsupported += " is not supported";
      const int rep = e.__isset.repetition_type ? e.repetition_type : 0;
      if (rep == 2) d.unsupported = "repeated column (list) is not supported";
      d.max_def = rep == 1 ? 1 : 0;
      ++i;
      ++leaf;
    }
    columns.push_back(std::move(d));
  }
  if (i != s.size()) place.fail("schema has elements outside its root");
  return leaf;
}

}  // namespace quorin_data::formats::pq
