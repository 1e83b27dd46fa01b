#include <array>
#include <cstring>
#include <string>

#include "gtest/gtest.h"
#include "lcv/lcv.h"
#include "support/test_support.h"
#include "tovUpdtr.h"

namespace {

using tov::test::CaptureStderr;

// The outcome of one parse: result, the four components, what was printed.
struct Parsed {
  int result;
  std::string lib, cell, view, file;
  std::string err;
};

Parsed Parse(const char *lcv, size_t size = 64) {
  std::array<std::array<char, 64>, 4> out;
  for (auto &buf : out) buf.fill('#');  // anything left unset shows up
  Parsed p{};
  p.err = CaptureStderr([&] {
    p.result = tov::lcv::ParseLCV(lcv, out[0].data(), out[1].data(),
                                  out[2].data(), out[3].data(), size);
  });
  p.lib = out[0].data();
  p.cell = out[1].data();
  p.view = out[2].data();
  p.file = out[3].data();
  return p;
}

const char kSep[] =
    "{#0 E Failed to find the separator character in the input string}\n";

TEST(ParseLCV, ThreeFormsDeliverTheirComponents) {
  Parsed p = Parse("lib/file");
  EXPECT_EQ(p.result, 1);
  EXPECT_EQ(p.lib + "|" + p.cell + "|" + p.view + "|" + p.file, "lib|||file");
  p = Parse("lib.cell/file");
  EXPECT_EQ(p.lib + "|" + p.cell + "|" + p.view + "|" + p.file,
            "lib|cell||file");
  p = Parse("lib.cell:view/file");
  EXPECT_EQ(p.lib + "|" + p.cell + "|" + p.view + "|" + p.file,
            "lib|cell|view|file");
  EXPECT_EQ(p.err, "");
}

TEST(ParseLCV, SeparatorsInsideLaterComponents) {
  Parsed p = Parse("lib/a/b.c:d");
  EXPECT_EQ(p.file, "a/b.c:d");
  p = Parse("lib..x/f");
  EXPECT_EQ(p.cell, ".x");
  p = Parse("lib.c:v:w/f");
  EXPECT_EQ(p.view, "v:w");
  p = Parse("lib.c:v.w/f");
  EXPECT_EQ(p.view, "v.w");
  EXPECT_EQ(p.result, 1);
}

TEST(ParseLCV, OnlyALoneDotFileMeansNoFile) {
  Parsed p = Parse("lib.cell:view/.");
  EXPECT_EQ(p.result, 1);
  EXPECT_EQ(p.view, "view");
  EXPECT_EQ(p.file, "");
  EXPECT_EQ(Parse("lib/./").file, "./");
  EXPECT_EQ(Parse("lib/..").file, "..");
}

TEST(ParseLCV, MissingSeparatorPrintsTwoMessages) {
  Parsed p = Parse("lib");
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.err, std::string(kSep) +
                       "{#0 E Error parsing Lib string in LCV: lib}\n");
  p = Parse("lib.cell");
  EXPECT_EQ(p.err, std::string(kSep) +
                       "{#0 E Error parsing Cell string in LCV: lib.cell}\n");
  EXPECT_EQ(p.lib, "lib");  // stored before the failing component
  EXPECT_EQ(
      Parse("lib.").err,
      std::string(kSep) + "{#0 E Error parsing Cell string in LCV: lib.}\n");
  EXPECT_EQ(Parse("lib.cell:").err,
            std::string(kSep) +
                "{#0 E Error parsing View string in LCV: lib.cell:}\n");
}

TEST(ParseLCV, EmptyComponentPrintsOnlyItsOwnMessage) {
  EXPECT_EQ(Parse("/file").err,
            "{#0 E Error parsing Lib string in LCV: /file}\n");
  EXPECT_EQ(Parse(".cell/f").err,
            "{#0 E Error parsing Lib string in LCV: .cell/f}\n");
  EXPECT_EQ(Parse("lib./f").err,
            "{#0 E Error parsing Cell string in LCV: lib./f}\n");
  EXPECT_EQ(Parse("lib.cell:/f").err,
            "{#0 E Error parsing View string in LCV: lib.cell:/f}\n");
  EXPECT_EQ(Parse("lib/").err,
            "{#0 E Error parsing File string in LCV: lib/}\n");
  Parsed p = Parse("lib.cell:view/");
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.err, "{#0 E Error parsing File string in LCV: lib.cell:view/}\n");
  EXPECT_EQ(p.view, "view");
}

TEST(ParseLCV, NullAndEmptyAreWarningsAndClearTheOutputs) {
  Parsed p = Parse(nullptr);
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.err, "{#0 W NULL lcv buffer given}\n");
  EXPECT_EQ(p.lib + p.cell + p.view + p.file, "");
  p = Parse("");
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.err, "{#0 W Empty lcv string given}\n");
  EXPECT_EQ(p.lib + p.cell + p.view + p.file, "");
}

TEST(ParseLCV, ExportedFormAcceptsNullOutputs) {
  EXPECT_EQ(tovParseLCV("lib.cell:view/.", nullptr, nullptr, nullptr, nullptr),
            1);
  char lib[8] = "junk";
  char file[8] = "junk";
  EXPECT_EQ(tovParseLCV("l/f", lib, nullptr, nullptr, file), 1);
  EXPECT_STREQ(lib, "l");
  EXPECT_STREQ(file, "f");
}

TEST(ParseLCV, ComponentTooLongForItsBufferIsRejectedWithoutOverrun) {
  // Buffers of 8 bytes hold seven characters: "longcell" has eight.
  struct Guarded {
    char buf[8];
    char guard[8];
  };
  Guarded out[4];
  for (auto &g : out) std::memset(&g, 'G', sizeof g);
  std::string err = CaptureStderr([&] {
    EXPECT_EQ(tov::lcv::ParseLCV("lib.longcell:v/f", out[0].buf, out[1].buf,
                                 out[2].buf, out[3].buf, 8),
              0);
  });
  EXPECT_EQ(err,
            "{#0 E Cell name longer than 7 characters in LCV: "
            "lib.longcell:v/f}\n");
  for (auto &g : out) {
    EXPECT_EQ(std::string(g.guard, 8), "GGGGGGGG");
  }
  EXPECT_STREQ(out[0].buf, "lib");
  EXPECT_STREQ(out[1].buf, "");
  // Exactly seven characters still fit.
  EXPECT_EQ(Parse("sevench/f", 8).result, 1);
  EXPECT_EQ(Parse("lib/eightchr", 8).result, 0);
}

TEST(PrintLCV, PrintsFourDebugLines) {
  std::string err = CaptureStderr([] { tovPrintLCV("a", nullptr, "", "f"); });
  EXPECT_EQ(err,
            "DEBUG: Lib  is: \t\"a\"\n"
            "DEBUG: Cell is: \t\"<NULL>\"\n"
            "DEBUG: View is: \t\"<NULL>\"\n"
            "DEBUG: File is: \t\"f\"\n");
}

TEST(WhatChanged, DeepestDifferingComponentWins) {
  EXPECT_EQ(tovWhatChangedInFromToPair("a", "c", "v", "f", "a", "c", "v", "f"),
            LCV_NONE_CHANGED);
  EXPECT_EQ(tovWhatChangedInFromToPair("a", "", "", "", "b", "", "", ""),
            LCV_LIB_CHANGED);
  EXPECT_EQ(tovWhatChangedInFromToPair("a", "c", "v", "f", "x", "c", "v", "g"),
            LCV_FILE_CHANGED);
  EXPECT_EQ(tovWhatChangedInFromToPair("a", "", "", "", "a", "c", "", ""),
            LCV_CELL_CHANGED);
  EXPECT_EQ(tovWhatChangedInFromToPair("a", "c", "v", "", "a", "c", "w", ""),
            LCV_VIEW_CHANGED);
  // Case counts, whatever the mapping's case mode.
  EXPECT_EQ(tovWhatChangedInFromToPair("Lib", "", "", "", "lib", "", "", ""),
            LCV_LIB_CHANGED);
}

TEST(WhatChanged, PairWithANullSideIsSkipped) {
  EXPECT_EQ(
      tovWhatChangedInFromToPair("a", "c", "", nullptr, "a", "d", "", "g"),
      LCV_CELL_CHANGED);
  EXPECT_EQ(tovWhatChangedInFromToPair(nullptr, nullptr, nullptr, nullptr, "a",
                                       "b", "c", "d"),
            LCV_NONE_CHANGED);
}

}  // namespace
