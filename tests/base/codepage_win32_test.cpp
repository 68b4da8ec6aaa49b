// The project's converters against the Windows code-page functions themselves.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "base/codepage.h"

namespace pellucor {
namespace {

std::u16string Platform936ToUnits(const std::string& bytes) {
  wchar_t buf[16];
  const int n = MultiByteToWideChar(936, 0, bytes.data(), static_cast<int>(bytes.size()), buf, 16);
  return std::u16string(buf, buf + n);
}

std::string PlatformUnitsTo936(const std::u16string& units, DWORD flags, BOOL* used) {
  char buf[16];
  const int n = WideCharToMultiByte(936, flags, reinterpret_cast<const wchar_t*>(units.data()),
                                    static_cast<int>(units.size()), buf, 16, nullptr, used);
  return std::string(buf, n);
}

std::u16string PlatformUtf8ToUnits(const std::string& bytes) {
  wchar_t buf[16];
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), buf, 16);
  return std::u16string(buf, buf + n);
}

TEST(CodepagePlatform, EveryOneAndTwoByteSequence) {
  int mismatches = 0;
  for (int a = 0; a < 0x100; ++a) {
    const std::string one(1, static_cast<char>(a));
    if (GbkToUtf16(one) != Platform936ToUnits(one) && ++mismatches <= 10) ADD_FAILURE() << a;
    for (int b = 0; b < 0x100; ++b) {
      const std::string two{static_cast<char>(a), static_cast<char>(b)};
      if (GbkToUtf16(two) != Platform936ToUnits(two) && ++mismatches <= 10)
        ADD_FAILURE() << std::hex << a << " " << b;
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(CodepagePlatform, EveryUnitWithBothFlags) {
  int mismatches = 0;
  for (int u = 0; u < 0x10000; ++u) {
    const std::u16string unit(1, static_cast<char16_t>(u));
    for (DWORD flags : {DWORD{0}, DWORD{WC_COMPOSITECHECK}}) {
      BOOL platformUsed = FALSE;
      bool used = false;
      const std::string want = PlatformUnitsTo936(unit, flags, &platformUsed);
      if ((Utf16ToGbk(unit, flags, &used) != want || used != (platformUsed != FALSE)) &&
          ++mismatches <= 10)
        ADD_FAILURE() << std::hex << u << " flags " << flags;
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(CodepagePlatform, BaseLettersWithCombiningMarks) {
  int mismatches = 0;
  auto check = [&](char16_t base, char16_t mark) {
    const std::u16string pair{base, mark};
    if (Utf16ToGbk(pair, kCompositeCheck) != PlatformUnitsTo936(pair, WC_COMPOSITECHECK, nullptr) &&
        ++mismatches <= 10)
      ADD_FAILURE() << std::hex << int{base} << " " << int{mark};
  };
  for (char16_t base = 0x20; base < 0x500; ++base) {
    for (char16_t mark = 0x300; mark < 0x370; ++mark) check(base, mark);
  }
  for (char16_t base = 0x3040; base < 0x3100; ++base) {
    check(base, 0x3099);
    check(base, 0x309A);
  }
  for (char16_t base : {u'=', u'<', u'>'}) check(base, 0x338);
  EXPECT_EQ(mismatches, 0);
}

TEST(CodepagePlatform, Utf8Sequences) {
  int mismatches = 0;
  auto check = [&](const std::string& s) {
    if (Utf8ToUtf16(s) != PlatformUtf8ToUnits(s) && ++mismatches <= 10) {
      std::string hex;
      for (unsigned char c : s) hex += std::to_string(c) + " ";
      ADD_FAILURE() << hex;
    }
  };
  for (int a = 0; a < 0x100; ++a) {
    for (int b = 0; b < 0x100; ++b) check({static_cast<char>(a), static_cast<char>(b)});
  }
  // Every three-byte sequence that starts with a multi-byte lead, with a trailing "A" so that
  // where a broken sequence ends is visible.
  for (int a = 0xC0; a < 0x100; ++a)
    for (int b = 0x80; b < 0xC0; ++b)
      for (int c = 0; c < 0x100; ++c)
        check({static_cast<char>(a), static_cast<char>(b), static_cast<char>(c), 'A'});
  for (int a = 0xF0; a < 0xF8; ++a)
    for (int b = 0x80; b < 0xC0; ++b)
      for (int c = 0x80; c < 0xC0; c += 5)
        for (int d = 0x70; d < 0xD0; d += 7)
          check({static_cast<char>(a), static_cast<char>(b), static_cast<char>(c),
                 static_cast<char>(d)});
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
}  // namespace pellucor
