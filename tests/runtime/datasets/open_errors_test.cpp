// Files and names that cannot be opened as data sets, and the exact texts
// that say why.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <utility>

#include "runtime/datasets/data_set_fixture.hpp"
#include "support/run_as.hpp"

namespace quilvar::runtime::datasets {
namespace {

using testing::DataSetPtr;
using testing::ScratchFolder;

TEST(OpenErrors, MalformedFilesNameFileLineAndProblem) {
  const std::string long_value(32768, 'x');
  const std::string rule =
      " is not a valid variable name (letters, digits and underscores, not starting with a digit, at most 32 "
      "characters)";
  const std::string title =
      "\", seems to be a title, not the header: remove the lines above the header line, which must come first and "
      "name the variables";
  const std::string separator_line =
      "\", is a separator line that some spreadsheets write, not the header: remove it, so that the first line "
      "names the variables";
  const struct {
    const char* label;
    std::string bytes;
    std::string problem;  // after the file's path
  } cases[] = {
      {"empty", "", ": the file is empty (its first line must name the variables)"},
      {"mark and empty lines only", "\xEF\xBB\xBF\r\n\n", ": the file is empty (its first line must name the variables)"},
      {"unterminated quote", "a,b\n1,\"x\n2,3\n", ", line 2, column 3: unterminated quoted field"},
      {"unterminated quote after a bom", "\xEF\xBB\xBF\"a\n", ", line 1, column 1: unterminated quoted field"},
      {"text after quote", "a,b\n\"x\"y,1\n", ", line 2, column 4: text after the closing quote of a field"},
      {"too many fields", "a,b\n1,2,3\n",
       ", line 2, column 5: 3 fields where the header has 2 (too many fields; the first extra one is \"3\")"},
      {"too few fields", "a,b\n1,2\n3\n", ", line 3, column 2: 1 field where the header has 2 (too few fields)"},
      {"too few fields after a quoted one", "a,b,c\n1,\"x y\"\n",
       ", line 2, column 8: 2 fields where the header has 3 (too few fields)"},
      {"extra field after a quoted line break", "a,b\n\"x\ny\",1,22\n",
       ", line 3, column 6: 3 fields where the header has 2 (too many fields; the first extra one is \"22\")"},
      {"extra field shown on one line, quotes undoubled", "a\n1,\"p\nq\"\"r\"\n",
       ", line 2, column 4: 2 fields where the header has 1 (too many fields; the first extra one is \"p q\"r\")"},
      {"long extra field cut between letters", "a\n1," + std::string(39, 'x') + "\xC3\xA9\xC3\xA9\n",
       ", line 2, column 3: 2 fields where the header has 1 (too many fields; the first extra one is \"" +
           std::string(39, 'x') + "...\")"},
      {"columns of a Latin-1 line count bytes", "a,b\n\xA9\xA9,2,3\n",
       ", line 2, column 6: 3 fields where the header has 2 (too many fields; the first extra one is \"3\")"},
      {"columns of a UTF-8 line count letters", "a,b\n\xC2\xA9\xC2\xA9,2,3\n",
       ", line 2, column 6: 3 fields where the header has 2 (too many fields; the first extra one is \"3\")"},
      {"trailing delimiter", "a,b\n1,2,\n",
       ", line 2, column 5: 3 fields where the header has 2 (too many fields: the line ends with a delimiter that the "
       "header line lacks; remove it from the data lines)"},
      {"trailing delimiters", "a,b\n1,2,,\n",
       ", line 2, column 5: 4 fields where the header has 2 (too many fields: the line ends with a delimiter that the "
       "header line lacks; remove it from the data lines)"},
      {"lines run together at a carriage return alone", "a,b\r\n1,2\r3,4\r\n",
       ", line 2, column 7: 3 fields where the header has 2 (too many fields; the first extra one is \"4\"); the line "
       "holds a carriage return alone, which does not end a line: save the file with the same line ends throughout "
       "(line feeds, or CR-LF)"},
      {"carriage return alone in a quoted value", "a,b\n\"1\r\",2,3\n",
       ", line 2, column 8: 3 fields where the header has 2 (too many fields; the first extra one is \"3\")"},
      {"empty extra field before a filled one", "a,b\n1,2,,3\n",
       ", line 2, column 5: 4 fields where the header has 2 (too many fields; the first extra one is \"\")"},
      {"lines counted through quoted breaks", "a,b\n\"x\ny\",1\r\n1,2,3\n",
       ", line 4, column 5: 3 fields where the header has 2 (too many fields; the first extra one is \"3\")"},
      {"empty line in the middle is skipped", "a,b\n1,2\n\n3\n",
       ", line 4, column 2: 1 field where the header has 2 (too few fields)"},
      {"nul byte", std::string("a\n1\n2\0003\n", 8), ", line 3, column 2: NUL byte (the file is not text)"},
      {"nul bytes ending the file", std::string("a,b\n1,2\n3,\0\0\0\0", 14),
       ", line 3, column 3: NUL byte (the file is not text); the file ends in 4 NUL bytes where text should be: it "
       "was not written completely (a copy or the program writing it stopped); copy or write it again"},
      {"name starting with a digit", "x,1abc\n", ", line 1, field 2: \"1abc\"" + rule},
      {"name with a dash", "a-b\n", ", line 1, field 1: \"a-b\"" + rule},
      {"name of 33 characters", "abcdefghijklmnopqrstuvwxyz0123456\n",
       ", line 1, field 1: \"abcdefghijklmnopqrstuvwxyz0123456\"" + rule},
      {"empty name", "a,,b\n", ", line 1, field 2: empty variable name in the header"},
      {"header ending in a delimiter", "a,b,\n1,2,\n",
       ", line 1, field 3: empty variable name in the header (the header line ends with a delimiter: remove it, "
       "and any ending the data lines)"},
      {"header ending in the delimiters of empty spreadsheet columns", "a,b,,\r\n1,2,,\r\n",
       ", line 1, field 3: empty variable name in the header (the header line ends with a delimiter: remove it, "
       "and any ending the data lines)"},
      {"semicolons", "age;deaths\n1;2\n",
       ", line 1, field 1: \"age;deaths\"" + rule +
           "; the file seems to separate its values with semicolons: save it with commas (or with tabs, as a .tsv "
           "file)"},
      {"tabs", "age\tdeaths\n1\t2\n",
       ", line 1, field 1: \"age\tdeaths\"" + rule + "; the file seems to separate its values with tabs: name it .tsv"},
      {"a label for a name", "age group,deaths\n",
       ", line 1, field 1: \"age group\"" + rule +
           "; rename the column in the header line, for instance with underscores for the blanks"},
      {"semicolons and decimal commas", "age;rate\n1;2,5\n",
       ", line 1, field 1: \"age;rate\"" + rule +
           "; the file seems to separate its values with semicolons and to write numbers with decimal commas: save it "
           "with commas between the values and decimal points in the numbers"},
      {"accented name", "r\xC3\xA9gion,b\n",
       ", line 1, field 1: \"r\xC3\xA9gion\"" + rule +
           "; names take the letters A to Z only, without accents: rename the column in the header line"},
      {"Latin-1 name shown as UTF-8", "x,r\xE9gion\n",
       ", line 1, field 2: \"r?gion\"" + rule +
           "; names take the letters A to Z only, without accents: rename the column in the header line"},
      {"second byte order mark", "\xEF\xBB\xBF\xEF\xBB\xBF" "a,b\n",
       ", line 1, field 1: \"\xEF\xBB\xBF" "a\"" + rule +
           "; it starts with a second byte order mark (an invisible mark of the encoding, written twice): save the "
           "file again as UTF-8, or remove the mark"},
      {"unnamed first column", "\"\",a\n1,2\n",
       ", line 1, field 1: empty variable name in the header (a first column without a name often holds row "
       "numbers: name it, or leave the column out)"},
      {"separator line", "sep=,\r\na,b\n", ", line 1: the first line, \"sep=," + separator_line},
      {"separator line of a semicolon file", "SEP=;\na;b\n", ", line 1: the first line, \"SEP=;" + separator_line},
      {"title in the first cell", "\nDeaths by area,,\na,b,c\n", ", line 2: the first line, \"Deaths by area" + title},
      {"one-word title in the first cell", "Deaths,,\na,b,c\n", ", line 1: the first line, \"Deaths" + title},
      {"title alone on its line", "Deaths by area\na,b\n", ", line 1: the first line, \"Deaths by area" + title},
      {"duplicate name", "Age,x,AGE\n", ", line 1, field 3: duplicate variable name \"AGE\" (field 1 is \"Age\")"},
      {"value too long", "a,b\n1,2\n3," + long_value + "\n",
       ", line 3, field 2 (b): value of 32768 bytes is longer than the limit of 32767"},
      // Said where the quote opens, however far the file goes on.
      {"quoted field never closed", "a,b\n1,2\n3,\"x\n" + std::string(70000, 'y') + "\n4,5\n",
       ", line 3, column 3: quoted field longer than the limit of 32767 bytes: its closing quote is missing, or "
       "the value is too long"},
      {"quoted field closed too late", "a,b\n1,2\n3,\"" + std::string(65535, 'y') + "\"\n",
       ", line 3, column 3: quoted field longer than the limit of 32767 bytes: its closing quote is missing, or "
       "the value is too long"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchFolder folder;
    const std::string path = (folder.path() / "bad.csv").string();
    EXPECT_EQ(testing::open_error(folder, "bad.csv", c.bytes), path + c.problem);
  }
}

// ASCII text in code units of `width` bytes, in either byte order.
std::string widened(std::string_view text, std::size_t width, bool little_endian) {
  std::string wide;
  for (char c : text) {
    std::string unit(width, '\0');
    unit[little_endian ? 0 : width - 1] = c;
    wide += unit;
  }
  return wide;
}

// What spreadsheets write for "Unicode text" and for old Macintosh CSV is
// refused as such, not as a NUL byte or an invalid name in one long line.
TEST(OpenErrors, WideEncodingsAndCarriageReturnLineEndsAreNamed) {
  const std::string table = "age,deaths\n1,2\n";
  const std::string advice =
      ", which is not read: save it as UTF-8 (in a spreadsheet, as \"CSV UTF-8\"; or convert it, for instance with "
      "iconv -t UTF-8)";
  const std::string lone_returns =
      ": the lines end with carriage returns alone (an old Macintosh text format), so the file reads as one line: "
      "save it with line feeds or CR-LF line ends (in a spreadsheet, as \"CSV UTF-8\")";
  const struct {
    const char* label;
    const char* file;
    std::string bytes;
    std::string problem;  // after the file's path
  } cases[] = {
      {"utf-16 le with mark", "bad.csv", "\xFF\xFE" + widened(table, 2, true),
       ": the file is encoded as UTF-16 (little-endian)" + advice},
      {"utf-16 be with mark", "bad.csv", "\xFE\xFF" + widened(table, 2, false),
       ": the file is encoded as UTF-16 (big-endian)" + advice},
      {"utf-16 le without mark", "bad.tsv", widened("age\tdeaths\n", 2, true),
       ": the file is encoded as UTF-16 (little-endian)" + advice},
      {"utf-16 be without mark", "bad.csv", widened(table, 2, false),
       ": the file is encoded as UTF-16 (big-endian)" + advice},
      {"utf-32 le with mark", "bad.csv", std::string("\xFF\xFE\0\0", 4) + widened(table, 4, true),
       ": the file is encoded as UTF-32 (little-endian)" + advice},
      {"utf-32 be with mark", "bad.csv", std::string("\0\0\xFE\xFF", 4) + widened(table, 4, false),
       ": the file is encoded as UTF-32 (big-endian)" + advice},
      {"utf-32 le without mark", "bad.tsv", widened("age\tdeaths\n", 4, true),
       ": the file is encoded as UTF-32 (little-endian)" + advice},
      {"utf-32 be without mark", "bad.csv", widened(table, 4, false),
       ": the file is encoded as UTF-32 (big-endian)" + advice},
      {"carriage returns alone", "bad.csv", "age,deaths\r1,2\r3,4\r", lone_returns},
      {"carriage returns alone, quoted line feed", "bad.csv", "age,deaths\r1,\"a\nb\"\r", lone_returns},
      {"carriage return alone, no last line end", "bad.tsv", "age\tdeaths\r1\t2", lone_returns},
      {"header only", "bad.csv", "age,deaths\r", lone_returns},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchFolder folder;
    const std::string path = (folder.path() / c.file).string();
    EXPECT_EQ(testing::open_error(folder, c.file, c.bytes), path + c.problem);
  }
}

TEST(OpenErrors, NamesThatFindNoFile) {
  ScratchFolder folder;
  folder.write("pop.csv", "a\n1\n");
  folder.write("sub/pop.tsv", "a\n1\n");
  std::filesystem::create_directory(folder.path() / "rates.csv");
  const std::string dir = folder.path().string();
  const struct {
    const char* written;
    bool quoted;
    std::string error;
  } cases[] = {
      {"nope", false, "data set NOPE not found: no nope.csv or nope.tsv in \"" + dir + "\""},
      {"rates", false, "data set RATES: \"" + dir + "/rates.csv\" is a folder, not a data file"},
      {"xx.pop", false, "data set XX.POP: unknown library XX"},
      {"a/b", false, "data set name \"a/b\" is not valid (a name or library.name)"},
      {"lib.", false, "data set name \"lib.\" is not valid (a name or library.name)"},
      {"gone.csv", true, "cannot open data set file \"" + dir + "/gone.csv\": No such file or directory"},
      {".", true, "cannot open data set file \"" + dir + "/.\": not a regular file"},
      // A file name written as a name, a data set name written as a path,
      // and a path with the backslashes of another system.
      {"pop.csv", false,
       "data set POP.CSV: unknown library POP; a name with a dot is library.member: to read the file pop.csv write pop (the "
       "extension is added) or the quoted path 'pop.csv'"},
      {"pop", true,
       "cannot open data set file \"" + dir + "/pop\": No such file or directory; a quoted name is a file path: write "
       "'pop.csv', or the name pop without quotes"},
      {"sub/pop", true,
       "cannot open data set file \"" + dir + "/sub/pop\": No such file or directory; a quoted name is a file path: "
       "write 'sub/pop.tsv'"},
      {"data\\pop.csv", true,
       "cannot open data set file \"" + dir + "/data\\pop.csv\": No such file or directory; folders in a path are separated by "
       "\"/\" (a backslash is part of a file name)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.written);
    std::string error;
    const DataSetPtr data(open_data_set(folder.libraries(), c.written, c.quoted, &error));
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(error, c.error);
  }
}

// A named pipe (what a shell's process substitution or a decompressing
// job gives) is refused for what it is, at once: opening it must not wait
// for a program to write into it. A link that leads nowhere is named too.
TEST(OpenErrors, SpecialFilesAreNamedAndNotWaitedOn) {
  ScratchFolder folder;
  const std::string dir = folder.path().string();
  ASSERT_EQ(mkfifo((folder.path() / "piped.csv").c_str(), 0600), 0);
  std::filesystem::create_symlink("nowhere.csv", folder.path() / "lost.csv");
  const std::string pipe_problem =
      "a named pipe (FIFO), not a data file: a data set is read more than once, so save the data to a file and name "
      "that";
  const struct {
    const char* written;
    bool quoted;
    std::string error;
  } cases[] = {
      {"piped", false, "data set PIPED: \"" + dir + "/piped.csv\" is " + pipe_problem},
      {"piped.csv", true, "cannot open data set file \"" + dir + "/piped.csv\": not a regular file; it is " + pipe_problem},
      {"lost", false, "data set LOST: \"" + dir + "/lost.csv\" is a symbolic link to \"nowhere.csv\", which does not exist"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.written);
    auto opening = std::async(std::launch::async, [&] {
      std::string error;
      const DataSetPtr data(open_data_set(folder.libraries(), c.written, c.quoted, &error));
      return std::make_pair(data == nullptr, error);
    });
    if (opening.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      // Let a reader stuck waiting for a writer go, so the test can end.
      const int writer = open((folder.path() / "piped.csv").c_str(), O_WRONLY | O_NONBLOCK);
      if (writer >= 0) close(writer);
      ADD_FAILURE() << "opening waited for a writer";
    }
    const auto [refused, error] = opening.get();
    EXPECT_TRUE(refused);
    EXPECT_EQ(error, c.error);
  }
}

// With both regions.csv and regions.tsv the CSV file is read, and a note
// says so before any note on its columns.
TEST(OpenErrors, BothSpellingsOfADataSetAreNotedAndTheCsvFileRead) {
  ScratchFolder folder;
  folder.write("regions.csv", "a,b\n1,x\n");
  folder.write("regions.tsv", "a\tb\tc\n1\t2\t3\n");
  folder.write("alone.tsv", "a\tb\n1\t2\n");
  std::string error;
  const DataSetPtr both(open_data_set(folder.libraries(), "regions", false, &error));
  ASSERT_NE(both, nullptr) << error;
  EXPECT_EQ(variable_count(both.get()), 2);
  const std::string dir = folder.path().string();
  EXPECT_EQ(layout_notes(both.get()),
            std::vector<std::string>{"data set REGIONS: both regions.csv and regions.tsv exist in \"" + dir +
                                     "\"; regions.csv is read"});
  const DataSetPtr alone(open_data_set(folder.libraries(), "alone", false, &error));
  ASSERT_NE(alone, nullptr) << error;
  EXPECT_TRUE(layout_notes(alone.get()).empty());
}

// A folder that may be searched but not listed (permission --x for others,
// as shared folders often are) still gives the data sets named in it, in
// the spellings a program writes; a name not there says the folder cannot
// be read. Run by an unprivileged user, in a forked child that reports
// the first case that went wrong as its exit status.
TEST(OpenErrors, AFolderThatCannotBeListedStillGivesItsDataSets) {
  using quilvar::testing::kNobody;
  if (!quilvar::testing::can_run_as(kNobody)) GTEST_SKIP() << "no unprivileged user to run as";
  ScratchFolder folder;
  folder.write("regions.csv", "a,b\n1,x\n");
  folder.write("ages.tsv", "a\tb\tc\n1\t2\t3\n");
  ASSERT_EQ(::chmod(folder.path().c_str(), 0711), 0);
  const struct {
    const char* written;
    int variables;  // 0: not opened, the folder named as unreadable
  } kCases[] = {{"regions", 2}, {"REGIONS", 2}, {"Regions", 2}, {"ages", 3}, {"nosuch", 0}};
  const pid_t child = ::fork();
  if (child == 0) {
    if (::geteuid() == 0 && ::setuid(kNobody) != 0) std::_Exit(100);
    for (int i = 0; i < static_cast<int>(std::size(kCases)); ++i) {
      std::string error;
      const DataSetPtr data(open_data_set(folder.libraries(), kCases[i].written, false, &error));
      const bool right = kCases[i].variables == 0
                             ? data == nullptr && error == "data set NOSUCH: cannot read folder \"" +
                                                               folder.path().string() + "\": Permission denied"
                             : data != nullptr && variable_count(data.get()) == kCases[i].variables;
      if (!right) std::_Exit(i + 1);
    }
    std::_Exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::chmod(folder.path().c_str(), 0755);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "first case wrong: "
                                    << (WEXITSTATUS(status) >= 1 && WEXITSTATUS(status) <= 5
                                            ? kCases[WEXITSTATUS(status) - 1].written
                                            : "setuid failed");
}

}  // namespace
}  // namespace quilvar::runtime::datasets
