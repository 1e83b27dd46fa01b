#include "services/name_mapping/rix.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "gtest/gtest.h"

namespace {

// One rixMapName into a buffer of kRixMaxName bytes followed by a guard zone,
// which must come back untouched, as must the whole buffer on failure.
struct Mapped {
  int result;
  std::string name;
};

Mapped Map(const char *from, const char *to, const std::string &name) {
  std::array<char, kRixMaxName + 16> out;
  out.fill('@');
  Mapped m{rixMapName(from, to, name.c_str(), 0, out.data()), ""};
  for (size_t i = kRixMaxName; i < out.size(); ++i) EXPECT_EQ(out[i], '@');
  if (m.result != 0) {
    m.name = out.data();
  } else {
    EXPECT_EQ(out[0], '@') << "written on failure";
  }
  return m;
}

constexpr const char *kNt = "LibraryNT";
constexpr const char *kUnix = "LibraryUnix";

TEST(RixMapName, ConvertsBetweenNameSpaces) {
  struct Case {
    const char *from, *to, *name, *want;  // want NULL: not legal in `from`
  } cases[] = {
      {kNt, kUnix, "a#2fb", "a#2fb"},
      {kNt, kUnix, "a:b", nullptr},
      {kNt, kUnix, "a#3ab", "a:b"},
      {kNt, kUnix, "a#3Ab", "a:b"},
      {kUnix, kNt, "a\\b", "a#5cb"},
      {kNt, kUnix, "a\\b", nullptr},
      {kNt, kUnix, "x#zz", nullptr},
      {kUnix, kNt, "x#zz", nullptr},
      {kNt, kUnix, "lib_1.v2-x", "lib_1.v2-x"},
      {kUnix, kNt, "lib_1.v2-x", "lib_1.v2-x"},
      {kNt, kNt, "", ""},
      {kUnix, kUnix, "", ""},
      {kUnix, kNt, "a#23b#41", "a#23bA"},  // '#' stays escaped, 'A' need not
      {kNt, kUnix, "#00", nullptr},        // an identifier holds no NUL
      {kNt, kUnix, "ab#", nullptr},
      {kNt, kUnix, "ab#4", nullptr},
      {kNt, kUnix, "a#4gb", nullptr},
      {kUnix, kUnix, "\xe9t\xe9", "\xe9t\xe9"},
  };
  for (const Case &c : cases) {
    Mapped m = Map(c.from, c.to, c.name);
    EXPECT_EQ(m.result != 0, c.want != nullptr) << c.from << " " << c.name;
    if (c.want != nullptr) {
      EXPECT_EQ(m.name, c.want) << c.name;
    }
  }
}

// Every byte 1-255 as a one-byte identifier: escaped exactly where its name
// space says so, raw there illegal, and read back to itself either way.
TEST(RixMapName, EveryByteValueRoundTrips) {
  auto escaped_in_unix = [](int b) {
    return b == '/' || b == '#' || b < 0x20 || b == 0x7F;
  };
  auto escaped_in_nt = [](int b) {
    return std::strchr("#<>:\"/\\|?*", b) != nullptr || b < 0x20 || b == 0x7F;
  };
  for (int b = 1; b <= 255; ++b) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "#%02x", b);
    std::string raw = "a" + std::string(1, static_cast<char>(b)) + "z";
    std::string esc = std::string("a") + hex + "z";
    for (const char *space : {kNt, kUnix}) {
      bool escapes = space == kNt ? escaped_in_nt(b) : escaped_in_unix(b);
      Mapped written = Map(space, space, esc);  // read escaped, written back
      ASSERT_NE(written.result, 0) << space << " " << b;
      EXPECT_EQ(written.name, escapes ? esc : raw) << space << " " << b;
      EXPECT_EQ(Map(space, space, raw).result != 0, !escapes)
          << space << " " << b;
    }
  }
  // All the bytes in one name: too long for one output once escaped, and
  // refused without a byte written (Map checks that).
  std::string all;
  for (int b = 1; b <= 255; ++b) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "#%02x", b);
    all += hex;
  }
  EXPECT_EQ(Map(kUnix, kNt, all).result, 0);
}

TEST(RixMapName, ResultMustFitTheOutput) {
  // 259 bytes fit with their NUL, 260 do not.
  EXPECT_NE(Map(kNt, kUnix, std::string(259, 'n')).result, 0);
  EXPECT_EQ(Map(kNt, kUnix, std::string(260, 'n')).result, 0);
  EXPECT_EQ(Map(kNt, kNt, std::string(259, 'n')).name, std::string(259, 'n'));
  EXPECT_EQ(Map(kNt, kNt, std::string(260, 'n')).result, 0);
  // Escapes count in the output: 86 escaped '/' and one byte are 259 bytes.
  std::string slashes;
  for (int i = 0; i < 86; ++i) slashes += "#2f";
  EXPECT_NE(Map(kNt, kUnix, slashes + "x").result, 0);
  EXPECT_EQ(Map(kNt, kUnix, slashes + "#2f").result, 0);
  // A long input whose result is short is fine.
  std::string long_in;
  for (int i = 0; i < 259; ++i) long_in += "#41";
  EXPECT_EQ(Map(kNt, kUnix, long_in).name, std::string(259, 'A'));
}

TEST(RixMapper, FunctionsAndArgumentsAreChecked) {
  char out[kRixMaxName] = "keep";
  EXPECT_EQ(rixMapName("LibraryOS2", kUnix, "a", 0, out), 0);
  EXPECT_EQ(rixMapName(kNt, "libraryunix", "a", 0, out), 0);  // exact names
  EXPECT_EQ(rixMapName(nullptr, kUnix, "a", 0, out), 0);
  EXPECT_EQ(rixMapName(kNt, kUnix, nullptr, 0, out), 0);
  EXPECT_EQ(rixMapName(kNt, kUnix, "a", 0, nullptr), 0);
  EXPECT_EQ(rixMapper(nullptr, rixIdentToLibraryUnix, "a", 0, out), 0);
  EXPECT_EQ(rixMapper(rixLibraryNTToIdent, nullptr, "a", 0, out), 0);
  EXPECT_STREQ(out, "keep");

  EXPECT_EQ(rixGetIdentToNameFunc(kUnix), &rixIdentToLibraryUnix);
  EXPECT_EQ(rixGetIdentToNameFunc(kNt), &rixIdentToLibraryNT);
  EXPECT_EQ(rixGetIdentToNameFunc("LibraryNt"), nullptr);
  EXPECT_EQ(rixGetIdentToNameFunc(nullptr), nullptr);
  EXPECT_EQ(rixGetNameToIdentFunc(kNt), &rixLibraryNTToIdent);

  // The output may be the input.
  char name[kRixMaxName] = "a#3ab";
  ASSERT_NE(rixMapper(rixLibraryNTToIdent, rixGetIdentToNameFunc(kUnix), name,
                      0, name),
            0);
  EXPECT_STREQ(name, "a:b");
}

}  // namespace
