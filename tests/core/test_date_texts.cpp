// The common forms of a date text read as their own calendar day.
#include <gtest/gtest.h>

#include "quorin_data/core.hpp"

using namespace quorin_data;

TEST(DateTexts, CommonFormsAndTheirOwnCalendarDay) {
  const Date jan5{days_from_civil(2024, 1, 5)};
  for (const char* t : {"20240105", "2024-01-05", "2024-1-5", "2024/1/05", "2024.01.05", "01/05/2024", "1/5/2024",
                        "Jan 5 2024", "January 5, 2024", "5 January 2024", "5 Jan. 2024", "Fri, 5 Jan 2024",
                        "2024 Jan 5", "2024-01-05T00:00:00Z", "2024-01-05 10:30", "2024-01-05T23:59:59.5-08:00",
                        "Jan 5 2024 10:00:00 UTC", " 2024-01-05 "})
    EXPECT_EQ(parse_date_text(t), jan5) << t;
  // An offset does not move the day (it would in UTC).
  EXPECT_EQ(parse_date_text("2019-01-01T01:00:00+05:00"), Date{days_from_civil(2019, 1, 1)});
  EXPECT_EQ(parse_date_text("13/01/2024"), Date{days_from_civil(2024, 1, 13)});  // cannot be a month
  EXPECT_EQ(parse_date_text("9999-12-31"), Date{days_from_civil(9999, 12, 31)});
  for (const char* bad : {"", "2024-13-05", "2024-02-30", "Jam 5 2024", "5 2024", "2024-01-05 25:00",
                          "2024-01-05+05:00x", "01/05/24", "12345", "2024-001-05", "yesterday"})
    EXPECT_FALSE(try_parse_date_text(bad).has_value()) << bad;
  EXPECT_THROW(parse_date_text("not a date"), ValueError);
}
