// mp4index search as a person types it: every query form over one
// generated collection, the errors, the output formats read back by real
// CSV and JSON readers, the default index, the walker's lines with their file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <nlohmann/json.hpp>
#include <sstream>

#include "pg_database.h"
#include "test_files.h"

namespace {

using namespace mp4test;
using hosttest::RunResult;

struct Song {
  std::string name, title, artist, genre, date;
  int track, total, seconds;
  bool cover;
};

std::string song(const Song& s, const std::vector<Bytes>& more = {}, size_t media = 100) {
  const Track sound{"soun", 44100, 44100LL * s.seconds,
                    stsd({audioEntry("mp4a", 2, 16, 44100u << 16)})};
  std::vector<Bytes> items{
      textItem("\251nam", s.title), textItem("\251ART", s.artist), textItem("\251gen", s.genre),
      textItem("\251day", s.date),
      item("trkn", {data(0, be16(0) + be16(s.track) + be16(s.total) + be16(0))})};
  if (s.cover) items.push_back(item("covr", {data(13, "\xFF\xD8\xFF\xE0" + zeros(60))}));
  items.insert(items.end(), more.begin(), more.end());
  return ftyp("M4A ") + movie({sound}, items, 1000, 1000LL * s.seconds) + box("mdat", zeros(media));
}

time_t localDay(int year, int month, int day) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

struct Library {
  hosttest::TempDir dir;
  std::unique_ptr<pgtest::Database> server;  // the index's database, on PostgreSQL
  std::string db = dir.path() + "/index.db", root = dir.path() + "/lib";
  explicit Library(bool onPostgres = false) {
    if (onPostgres) {
      server = std::make_unique<pgtest::Database>();
      db = server->name();
    }
    const Song songs[] = {
        {"beatles/let-it-be.m4a", "Let It Be", "The Beatles", "Rock", "1970-03-06", 6, 12, 243,
         true},
        {"beatles/yesterday.m4a", "Yesterday", "The Beatles", "Rock", "1965", 13, 14, 125, false},
        {"jazz/so-what.m4a", "So What", "Miles Davis", "Jazz", "1959-08-17", 1, 5, 562, true},
        {"jazz/blue.M4A", "Blue in Green", "Miles Davis", "Jazz", "1959", 3, 5, 337, false},
    };
    for (const Song& s : songs) {
      const std::vector<Bytes> more =
          s.track == 1 ? std::vector<Bytes>{item("\251ART", {data(1, "John Coltrane")}),
                                            textItem("\251cmt", "take 1, \"mono\" | remaster")}
                       : std::vector<Bytes>{};
      dir.write("lib/" + s.name, song(s, more));
    }
    dir.write(
        "lib/pop/beat box.m4a",
        song({"", "Beat It", "Michael Jackson", "Pop", "1982-11-30", 5, 9, 258, false}, {}, 20000));
    dir.write("lib/video/caf\xe9.mp4", hosttest::videoFile(1920, 1080));
    dir.write("lib/notes.txt", "the beatles\n");
    for (const char* old : {"jazz/so-what.m4a", "jazz/blue.M4A"}) {
      const timespec times[2] = {{localDay(2001, 1, 1), 0}, {localDay(2001, 1, 1), 0}};
      utimensat(AT_FDCWD, (root + "/" + old).c_str(), times, 0);
    }
    EXPECT_EQ(run({"update", db, root}).status, 0);
  }
  static RunResult run(const std::vector<std::string>& args,
                       const hosttest::RunOptions& options = {}) {
    return hosttest::runTool(MP4INDEX_PATH, args, options);
  }
  // The names of the files found, in output order, each followed by a space.
  std::string search(std::vector<std::string> args) const {
    args.insert(args.begin(), {"search", db});
    const RunResult r = run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    std::string names;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      names += line.substr(line.rfind('/') + 1) + ' ';
    }
    return names;
  }
};

// One table of queries, on each back-end.
class SearchOn : public testing::TestWithParam<bool> {
  void SetUp() override {
    if (GetParam()) REQUIRE_PG_SERVER();
  }
};

TEST_P(SearchOn, EachFormFindsItsFiles) {
  const Library lib(GetParam());
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"artist:beatles"}, "let-it-be.m4a yesterday.m4a "},
      {{"beat*"}, "let-it-be.m4a yesterday.m4a beat box.m4a "},
      {{"artist:beat*"}, "let-it-be.m4a yesterday.m4a "},
      {{"title:\"let it be\""}, "let-it-be.m4a "},
      {{"\"it be\""}, "let-it-be.m4a "},
      {{"\"be it\""}, ""},
      {{"audio.artist:coltrane"}, "so-what.m4a "},
      {{"artist:beatles", "OR", "genre=Jazz"}, "let-it-be.m4a yesterday.m4a blue.M4A so-what.m4a "},
      {{"genre=Jazz", "-title:blue"}, "so-what.m4a "},
      {{"NOT", "genre=Rock", "type=audio/mp4"}, "blue.M4A so-what.m4a beat box.m4a "},
      {{"NOT", "(", "NOT", "genre=Jazz", ")"}, "blue.M4A so-what.m4a "},
      {{"(", "genre=Rock", "OR", "genre=Jazz", ")", "year<1966"},
       "yesterday.m4a blue.M4A so-what.m4a "},
      {{"artist:davis", "title:blue", "OR", "title:what"}, "blue.M4A so-what.m4a "},
      {{"genre=jazz"}, ""},  // exactly, case and all
      {{"year=1959"}, "blue.M4A so-what.m4a "},
      {{"date>=1970"}, "let-it-be.m4a beat box.m4a "},
      {{"date>1970"}, "beat box.m4a "},
      {{"date=1970-03"}, "let-it-be.m4a "},
      {{"date<=1959-08"}, "blue.M4A so-what.m4a "},
      {{"track=5"}, "beat box.m4a "},                        // not 1/5 or 3/5
      {{"title:yesterday", "year<1970"}, "yesterday.m4a "},  // checked on the one file
      {{"title:blue", "track=3"}, "blue.M4A "},
      {{"track=6", "OR", "disc=1"}, "let-it-be.m4a "},
      {{"duration>=9m"}, "so-what.m4a "},
      {{"duration<2m30s"}, "yesterday.m4a caf\\xe9.mp4 "},
      {{"duration=4:03"}, "let-it-be.m4a "},
      {{"title:let", "duration>=4:03", "duration<=4:03"}, "let-it-be.m4a "},
      {{"has:cover"}, "let-it-be.m4a so-what.m4a "},
      {{"has:comment"}, "so-what.m4a "},  // a field of one file, counted from its count
      {{"cover=no", "-video"}, "yesterday.m4a blue.M4A notes.txt beat box.m4a "},
      {{"-cover", "type:audio", "title:yesterday"}, "yesterday.m4a "},
      {{"-artist"}, "notes.txt caf\\xe9.mp4 "},
      {{"width>=1920", "height=1080", "videocodec=avc1"}, "caf\\xe9.mp4 "},
      {{"channels=2", "samplerate>=44100", "name:blue"}, "blue.M4A "},
      {{"ext=M4A", "path:jazz"}, "blue.M4A so-what.m4a "},
      {{"ext=.mp4"}, "caf\\xe9.mp4 "},
      {{"name:beat"}, "beat box.m4a "},
      {{"size>10K"}, "beat box.m4a "},
      {{"modified<2002"}, "blue.M4A so-what.m4a "},
      {{"modified>=2001-01-01", "modified<=2001-01-01", "genre=Jazz"}, "blue.M4A so-what.m4a "},
      {{"source:nowhere", "OR", "source=nowhere"}, ""},
      {{"-source:nowhere", "ext=txt"}, "notes.txt "},
      {{"genre=Rock' OR '1'='1"}, ""},
      {{"title:\") OR (\""}, ""},
      {{"title:beatles"}, ""},
      {{"artist:\"miles coltrane\""}, ""},
      // Checked on each file of the first term (a presence cannot be intersected).
      {{"type:audio", "(", "has:cover", "OR", "duration>=5m", ")"},
       "let-it-be.m4a blue.M4A so-what.m4a "},
      {{"type:audio", "(", "has:cover", "OR", "year<1966", ")"},
       "let-it-be.m4a yesterday.m4a blue.M4A so-what.m4a "},
      {{"type:audio", "(", "has:cover", "OR", "genre=Pop", "OR", "track=13", ")"},
       "let-it-be.m4a yesterday.m4a so-what.m4a beat box.m4a "},
      {{"type:audio", "(", "has:cover", "OR", "title:green", "OR", "path:pop", ")"},
       "let-it-be.m4a blue.M4A so-what.m4a beat box.m4a "},
  };
  for (const auto& [terms, names] : cases) {
    std::string query;
    for (const std::string& t : terms) query += t + ' ';
    EXPECT_EQ(lib.search(terms), names) << query;
    // Counted, the same files (each name has one '.').
    std::vector<std::string> count{"search", lib.db, "--count"};
    count.insert(count.end(), terms.begin(), terms.end());
    EXPECT_EQ(Library::run(count).out,
              std::to_string(std::count(names.begin(), names.end(), '.')) + "\n")
        << query;
  }
  EXPECT_EQ(Library::run({"search", lib.db, "--count", "beat*", "OR", "ext=mp4"}).out, "4\n");
  EXPECT_EQ(lib.search({"--sort", "-duration", "--limit", "2", "type:audio"}),
            "so-what.m4a blue.M4A ");
  // Presence counted, also after a file with a cover went.
  for (const char* counts : {"2 5 1 6 5 2", "1 5 1 5 4 2"}) {
    std::string got;
    for (const char* term :
         {"has:cover", "-cover", "has:width", "-width", "has:artist", "-artist"}) {
      got += (got.empty() ? "" : " ") + Library::run({"search", lib.db, "--count", term}).out;
      got.pop_back();
    }
    EXPECT_EQ(got, counts);
    unlink((lib.root + "/beatles/let-it-be.m4a").c_str());
    EXPECT_EQ(Library::run({"update", lib.db, lib.root}).status, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Stores, SearchOn, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& param) {
                           return param.param ? "PostgreSQL" : "SQLite";
                         });

TEST(Search, MistakesAreNamedWithTheirReason) {
  const Library lib;
  const std::vector<std::string> deep(10000, "(");
  std::vector<std::string> many(300, "beatles");
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"artst:beatles"}, "term 'artst:beatles': unknown field 'artst' (did you mean 'artist'?)"},
      {{"duration>=1x"}, "'1x' is not a duration"},
      {{"size>big"}, "'big' is not a size"},
      {{"year=19"}, "'19' is not a date"},
      {{"date=2023-02-29"}, "is not a date"},
      {{"title>a"}, "'title' is text"},
      {{"cover=maybe"}, "'cover' is yes or no"},
      {{"missing:size"}, "'size' is known for every file"},
      {{"\"abc"}, "a quote without its end"},
      {{"(", "beatles"}, "'(' without its ')'"},
      {{"beatles", ")"}, "')' without its '('"},
      {{"OR", "beatles"}, "OR without a term before it"},
      {{"beatles", "OR"}, "OR without a term after it"},
      {{"NOT"}, "NOT without a term after it"},
      {deep, "nested too deeply"},
      {many, "too many terms (at most 256)"},
      {{"--limit", "x", "beatles"}, "--limit: 'x' is not a number of files"},
      {{"--format", "xml", "beatles"}, "unknown --format 'xml'"},
      {{"--sort", "titel", "beatles"}, "--sort: unknown field 'titel' (did you mean 'title'?)"},
      {{"--count", "--limit", "1", "beatles"}, "--count prints a number alone"},
      {{"--sort", "title,,artist", "beatles"}, "--sort: an empty field name in 'title,,artist'"},
  };
  for (const auto& [terms, message] : cases) {
    std::vector<std::string> args{"search", lib.db};
    args.insert(args.end(), terms.begin(), terms.end());
    const RunResult r = Library::run(args);
    EXPECT_EQ(r.status, 2) << terms[0];
    EXPECT_NE(r.err.find(message), std::string::npos) << message << " not in " << r.err;
  }
  const RunResult note =
      Library::run({"search", lib.db, "purchaser:x", "OR", "disc=1", "artist:x", "x"});
  EXPECT_EQ(note.err,
            "mp4index: note: no file in the index has the field 'purchaser' "
            "(TODO_content.purchaser)\n"
            "mp4index: note: no file in the index has the field 'disc' (TODO_discNumber)\n");
}

TEST(Search, SortsLimitsCountsAndPrintsTables) {
  const Library lib;
  EXPECT_EQ(lib.search({"--sort", "duration", "--limit", "3", "beat*", "OR", "has:width"}),
            "caf\\xe9.mp4 yesterday.m4a let-it-be.m4a ");
  // Files without the key come last either way; ties go by path.
  EXPECT_EQ(lib.search({"--sort", "-duration", "type:audio", "OR", "ext=txt"}),
            "so-what.m4a blue.M4A beat box.m4a let-it-be.m4a yesterday.m4a notes.txt ");
  EXPECT_EQ(lib.search({"--sort=track", "type:audio"}),
            "so-what.m4a blue.M4A beat box.m4a let-it-be.m4a yesterday.m4a ");
  EXPECT_EQ(lib.search({"--sort", "genre,-title", "type:audio"}),
            "so-what.m4a blue.M4A beat box.m4a yesterday.m4a let-it-be.m4a ");
  EXPECT_EQ(lib.search({"--limit", "1", "genre=Jazz"}), "blue.M4A ");
  EXPECT_EQ(Library::run({"search", lib.db, "--count", "-cover"}).out, "5\n");
  // A file that several of the either-or terms find counts once.
  EXPECT_EQ(Library::run({"search", lib.db, "--count", "genre=Jazz", "OR", "artist:beatles", "OR",
                          "title:blue", "OR", "year<1960"})
                .out,
            "4\n");

  // CSV and TSV read back: several values joined by |, a | inside one escaped.
  const std::string fields = "name,title,artist,comment,size,duration,track";
  const RunResult csv = Library::run(
      {"search", lib.db, "--fields", fields, "--format", "csv", "--sort", "track", "genre=Jazz"});
  hosttest::RunOptions input;
  input.stdinData = csv.out;
  const RunResult read = hosttest::runTool(
      "/usr/bin/python3",
      {"-c", "import csv, json, sys; print(json.dumps(list(csv.reader(sys.stdin))))"}, input);
  ASSERT_EQ(read.status, 0) << read.err;
  const nlohmann::json rows = nlohmann::json::parse(read.out);
  const std::string soWhatSize =
      std::to_string(mp4test::readFile(lib.root + "/jazz/so-what.m4a").size());
  EXPECT_EQ(rows, nlohmann::json::parse(
                      R"([["name","title","artist","comment","size","duration","track"],
                          ["so-what.m4a","So What","Miles Davis|John Coltrane",
                           "take 1, \"mono\" \\| remaster",)" +
                      ('"' + soWhatSize + '"') + R"(,"562","1/5"],
                          ["blue.M4A","Blue in Green","Miles Davis","",)" +
                      ('"' + std::to_string(mp4test::readFile(lib.root + "/jazz/blue.M4A").size()) +
                       '"') +
                      R"(,"337","3/5"]])"));
  const RunResult tsv = Library::run(
      {"search", lib.db, "--fields", "path,ext,artist", "-cover", "--", "-type:audio"});
  EXPECT_EQ(tsv.out, "path\text\tartist\n" + lib.root + "/notes.txt\ttxt\t\n" + lib.root +
                         "/video/caf\\xe9.mp4\tmp4\t\n");

  const RunResult json =
      Library::run({"search", lib.db, "--format", "json", "--fields",
                    "path,artist,cover,size,modified", "so-what.m4a", "OR", "title:what"});
  const nlohmann::json row = nlohmann::json::parse(json.out);
  EXPECT_EQ(row["path"], lib.root + "/jazz/so-what.m4a");
  EXPECT_EQ(row["artist"], nlohmann::json::parse(R"(["Miles Davis", "John Coltrane"])"));
  EXPECT_EQ(row["cover"][0]["base64"].get<std::string>().substr(0, 4), "/9j/");
  EXPECT_EQ(row["size"], std::stoll(soWhatSize));
  EXPECT_EQ(row["modified"], "2001-01-01T00:00:00");
}

TEST(Search, SortsNamesAsAPersonReadsThem) {
  hosttest::TempDir dir;
  const std::string db = dir.path() + "/i.db";
  const std::pair<std::string, size_t> files[] = {
      {"a.txt", 3}, {"ab.TXT", 1},      {"B.m4v", 2},        {"b.m4v", 7},
      {"Track", 6}, {"Track 9.txt", 5}, {"track 10.txt", 4}, {"track 010.txt", 0}};
  for (const auto& [name, size] : files) dir.write("f/" + name, std::string(size, 'x'));
  ASSERT_EQ(Library::run({"update", db, dir.path() + "/f"}).status, 0);
  const auto names = [&](const std::string& keys) {
    return Library::run(
               {"search", db, "--sort", keys, "--fields", "name", "--format", "tsv", "size>=0"})
        .out;
  };
  EXPECT_EQ(names("name"),
            "name\na.txt\nab.TXT\nB.m4v\nb.m4v\nTrack\nTrack 9.txt\ntrack 010.txt\ntrack 10.txt\n");
  EXPECT_EQ(names("ext"),
            "name\nTrack\nB.m4v\nb.m4v\nTrack 9.txt\na.txt\nab.TXT\ntrack 010.txt\ntrack 10.txt\n");
  EXPECT_EQ(names("-size"),
            "name\nb.m4v\nTrack\nTrack 9.txt\ntrack 10.txt\na.txt\nB.m4v\nab.TXT\ntrack 010.txt\n");
}

TEST(Search, WhatAFileLeavesGoesWithIt) {
  const Library lib;
  for (const char* gone : {"/pop/beat box.m4a", "/jazz/blue.M4A"}) {
    ASSERT_EQ(unlink((lib.root + gone).c_str()), 0);
  }
  lib.dir.write("lib/pop/new.m4a",
                song({"", "New, New", "Nobody", "Pop", "2020", 1, 1, 60, false}));
  // Rewritten without its cover and with another date.
  lib.dir.write("lib/beatles/let-it-be.m4a",
                song({"", "Let It Be", "The Beatles", "Rock", "1969", 6, 12, 243, false}));
  ASSERT_EQ(Library::run({"update", lib.db, lib.root}).status, 0);
  const std::pair<std::vector<std::string>, std::string> counts[] = {
      {{"name:beat"}, "0"}, {{"title:beat"}, "0"},  {{"date>1980", "date<1990"}, "0"},
      {{"name:blue"}, "0"}, {{"title:green"}, "0"}, {{"has:cover"}, "1"},
      {{"-cover"}, "5"},    {{"genre=Jazz"}, "1"},  {{"genre=Pop"}, "1"},
      {{"year=1970"}, "0"}, {{"year=1969"}, "1"},   {{"title=Let It Be", "has:cover"}, "0"},
      {{"title:new"}, "1"}, {{"title:be"}, "1"},    {{"artist:beatles", "-title:be"}, "1"},
  };
  for (const auto& [terms, count] : counts) {
    std::vector<std::string> args{"search", lib.db, "--count"};
    args.insert(args.end(), terms.begin(), terms.end());
    EXPECT_EQ(Library::run(args).out, count + "\n") << terms[0];
  }
  EXPECT_EQ(lib.search({"name:new", "size<1K"}), "new.m4a ");
}

TEST(Search, TheDefaultIndexIsTheUsers) {
  hosttest::TempDir dir;
  const std::string music = dir.write("music/a.m4a", hosttest::taggedSong("Alpha", 3));
  hosttest::RunOptions env;
  env.environment = {{"XDG_DATA_HOME", dir.path() + "/data"}, {"MP4INDEX_DB", ""}};
  ASSERT_EQ(Library::run({"update", dir.path() + "/music"}, env).status, 0);
  EXPECT_EQ(Library::run({"search", "title:alpha"}, env).out, music + "\n");
  EXPECT_EQ(
      Library::run({"search", "--index", dir.path() + "/data/mp4index/index.db", "alpha"}).out,
      music + "\n");
  env.environment = {{"HOME", dir.path() + "/home"}, {"XDG_DATA_HOME", ""}, {"MP4INDEX_DB", ""}};
  ASSERT_EQ(Library::run({"update", music}, env).status, 0);
  EXPECT_EQ(mp4test::readFile(dir.path() + "/home/.local/share/mp4index/index.db").substr(0, 6),
            "SQLite");
  // The variable names another index; an explicit one goes first.
  env.environment = {{"MP4INDEX_DB", dir.path() + "/other.db"}};
  const RunResult missing = Library::run({"search", "alpha"}, env);
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find(dir.path() + "/other.db: cannot open the index"), std::string::npos);
  EXPECT_EQ(Library::run({"search", dir.path() + "/data/mp4index/index.db", "alpha"}, env).out,
            music + "\n");
  // A name that is not there yet, before a path, is a new index.
  ASSERT_EQ(Library::run({"update", dir.path() + "/named", music}, env).status, 0);
  EXPECT_EQ(Library::run({"search", dir.path() + "/named", "alpha"}, env).out, music + "\n");

  // Every way of naming it; a relative XDG_DATA_HOME is not used.
  const std::string data = dir.path() + "/data/mp4index/index.db";
  env.environment = {
      {"MP4INDEX_DB", ""}, {"XDG_DATA_HOME", "data"}, {"HOME", dir.path() + "/home"}};
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--index=" + data, "alpha"},
                                               {"--limit", "1", data, "alpha"},
                                               {"--", data, "alpha"},
                                               {"alpha"}}) {
    std::vector<std::string> search{"search"};
    search.insert(search.end(), args.begin(), args.end());
    EXPECT_EQ(Library::run(search, env).out, music + "\n") << args[0];
  }
  const RunResult noValue = Library::run({"search", "alpha", "--index"}, env);
  EXPECT_EQ(noValue.status, 2);
  EXPECT_NE(noValue.err.find("--index needs the index (DB) to use"), std::string::npos);
  env.environment = {{"MP4INDEX_DB", ""}, {"XDG_DATA_HOME", ""}, {"HOME", ""}};
  EXPECT_NE(Library::run({"search", "alpha"}, env).err.find("no index given, and no home folder"),
            std::string::npos);
  env.environment = {{"MP4INDEX_DB", ""}, {"XDG_DATA_HOME", music}};
  const RunResult unmade = Library::run({"update", music}, env);
  EXPECT_EQ(unmade.status, 1);
  EXPECT_NE(unmade.err.find("cannot make the folder " + music + "/mp4index: "), std::string::npos)
      << unmade.err;
}

TEST(Search, TheWalkersLinesNameTheirFile) {
  hosttest::TempDir dir;
  const Bytes broken = ftyp() + box("moov", {mvhd(1000, 1000), boxWithSizeField(1000, "free", "")});
  const std::string path = dir.write("bad.mp4", broken);
  const RunResult update = Library::run({"update", dir.path() + "/i.db", path});
  EXPECT_EQ(update.err, "mp4index: " + path + ": 992 excess bytes in moov.free box\n");
  EXPECT_EQ(hosttest::runMp4meta({path}).err, "    992 excess bytes in moov.free box\n");
}

}  // namespace
