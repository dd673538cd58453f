// Bounded formatting: whole text or failure, never a silently cut result.
#include <gtest/gtest.h>

#include <string>

#include "bounded_format.h"

namespace {

using orvelle::FormatBounded;
using orvelle::kFormatInsufficientBuffer;
using orvelle::kFormatInvalidParameter;
using orvelle::kFormatOk;

TEST(BoundedFormat, FormatsWideStringsUnsignedDecimalsAndPercent) {
  wchar_t out[64];
  EXPECT_EQ(FormatBounded(out, 64, L"%s\\a-%lu.ps1 100%%", L"C:\\x", 4242UL),
            kFormatOk);
  EXPECT_STREQ(out, L"C:\\x\\a-4242.ps1 100%");
  EXPECT_EQ(FormatBounded(out, 64, L"%lu|%lu", 0UL, 4294967295UL), kFormatOk);
  EXPECT_STREQ(out, L"0|4294967295");
  EXPECT_EQ(FormatBounded(out, 64, L"\"%s\" \"%s\"", L"", L"b"), kFormatOk);
  EXPECT_STREQ(out, L"\"\" \"b\"");
}

TEST(BoundedFormat, ExactFitSucceedsAndOneCharacterLessFails) {
  // "C:\x\Bootstrap" is 14 characters: 15 with its null.
  wchar_t out[32];
  EXPECT_EQ(FormatBounded(out, 15, L"%s\\Bootstrap", L"C:\\x"), kFormatOk);
  EXPECT_STREQ(out, L"C:\\x\\Bootstrap");

  wchar_t cut[14];
  EXPECT_EQ(FormatBounded(cut, 14, L"%s\\Bootstrap", L"C:\\x"),
            kFormatInsufficientBuffer);
  EXPECT_LT(FormatBounded(cut, 14, L"%s\\Bootstrap", L"C:\\x"), 0);
  EXPECT_STREQ(cut, L"C:\\x\\Bootstra");  // cut and terminated, never used
}

TEST(BoundedFormat, TruncationInsideArgumentsAndNumbersFails) {
  wchar_t out[8];
  EXPECT_EQ(FormatBounded(out, 8, L"%s", L"12345678"),
            kFormatInsufficientBuffer);
  EXPECT_STREQ(out, L"1234567");
  EXPECT_EQ(FormatBounded(out, 8, L"id-%lu", 123456UL),
            kFormatInsufficientBuffer);
  EXPECT_STREQ(out, L"id-1234");
  EXPECT_EQ(FormatBounded(out, 1, L"x"), kFormatInsufficientBuffer);
  EXPECT_STREQ(out, L"");
  EXPECT_EQ(FormatBounded(out, 1, L""), kFormatOk);
}

TEST(BoundedFormat, NeverWritesPastTheGivenSize) {
  wchar_t out[12];
  for (wchar_t& c : out) c = L'#';
  EXPECT_EQ(FormatBounded(out, 6, L"%s-%lu", L"abcdef", 99UL),
            kFormatInsufficientBuffer);
  EXPECT_EQ(std::wstring(out, 6), std::wstring(L"abcde\0", 6));
  for (int i = 6; i < 12; ++i) EXPECT_EQ(out[i], L'#') << i;
}

TEST(BoundedFormat, RejectsBadArguments) {
  wchar_t out[16] = L"untouched";
  EXPECT_EQ(FormatBounded(out, 0, L"x"), kFormatInvalidParameter);
  EXPECT_STREQ(out, L"untouched");
  EXPECT_EQ(FormatBounded(out, 16, L"%d", 5), kFormatInvalidParameter);
  EXPECT_STREQ(out, L"");
  EXPECT_EQ(FormatBounded(out, 16, L"%s", static_cast<const wchar_t*>(nullptr)),
            kFormatInvalidParameter);
  EXPECT_EQ(FormatBounded(out, 16, L"50%"), kFormatInvalidParameter);
  EXPECT_EQ(FormatBounded(out, 16, L"%l"), kFormatInvalidParameter);
  EXPECT_EQ(FormatBounded(nullptr, 16, L"x"), kFormatInvalidParameter);
}

}  // namespace
