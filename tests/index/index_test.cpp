// mp4index run as a user runs it: a collection that changes, every query form,
// bad input, updates killed part-way and searches while an update writes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <set>
#include <sstream>

#include "test_files.h"

namespace {

using hosttest::RunResult;

RunResult mp4index(const std::vector<std::string>& args, const hosttest::RunOptions& options = {}) {
  return hosttest::runTool(MP4INDEX_PATH, args, options);
}

std::string summary(int added, int changed, int removed, int unchanged, int failed) {
  return std::to_string(added) + " added, " + std::to_string(changed) + " changed, " +
         std::to_string(removed) + " removed, " + std::to_string(unchanged) + " unchanged, " +
         std::to_string(failed) + " failed\n";
}

// The run's exit status, and parts of its standard error and output.
void expectRun(const RunResult& r, int status, const std::string& err,
               const std::string& out = "") {
  EXPECT_EQ(r.status, status) << r.err;
  EXPECT_NE(r.err.find(err), std::string::npos) << err << " not in: " << r.err;
  EXPECT_NE(r.out.find(out), std::string::npos) << out << " not in: " << r.out;
}

std::set<std::string> lineSet(const std::string& text) {
  std::set<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.insert(line);
  return lines;
}

// Runs statements on db: the last row's first column, "" if none, or the error.
std::string sql(const std::string& db, const std::string& statements) {
  sqlite3* handle = nullptr;
  sqlite3_open(db.c_str(), &handle);
  std::string result;
  const auto keepFirstColumn = [](void* out, int, char** row, char**) {
    *static_cast<std::string*>(out) = row[0] ? row[0] : "NULL";
    return 0;
  };
  if (sqlite3_exec(handle, statements.c_str(), keepFirstColumn, &result, nullptr) != SQLITE_OK)
    result = sqlite3_errmsg(handle);
  sqlite3_close(handle);
  return result;
}

struct Collection {
  hosttest::TempDir dir;
  std::string db = dir.path() + "/index.db", root = dir.path() + "/music";
  Collection() {
    dir.write("music/album/a.m4a", hosttest::taggedSong("Alpha One", 3));
    dir.write("music/album/b.m4a", hosttest::taggedSong("Beta Two", 5));
    dir.write("music/video/wide.mp4", hosttest::videoFile(1920, 1080));
    dir.write("music/video/small.mp4", hosttest::videoFile(320, 240));
    dir.write("music/caf\xe9.m4a", hosttest::taggedSong("Gamma Alpha", 4));
    dir.write("music/notes.txt", "alpha beta\n");
  }
  // The files found, relative to the root, each followed by a space.
  std::string search(std::vector<std::string> terms) const {
    terms.insert(terms.begin(), {"search", db});
    const RunResult run = mp4index(terms);
    EXPECT_EQ(run.status, 0) << run.err;
    std::string names;
    for (const std::string& line : lineSet(run.out)) names += line.substr(root.size() + 1) + ' ';
    return names;
  }
};

TEST(Mp4index, AnswersEachQueryFormAndFollowsTheCollection) {
  Collection c;
  c.dir.write("music/dash.m4a", hosttest::taggedSong("\xe2\x80\x93", 7));
  // The index lies under this root, and is no file of the collection.
  ASSERT_EQ(mp4index({"update", c.db, c.dir.path()}).out, summary(7, 0, 0, 0, 0));
  const std::string songs = "album/a.m4a album/b.m4a caf\\xe9.m4a dash.m4a ";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"alpha"}, "album/a.m4a caf\\xe9.m4a "},
      {{"ALPHA", "one"}, "album/a.m4a "},
      {{"mp4", "-image.width"}, songs},
      {{"audio.title:gamma"}, "caf\\xe9.m4a "},
      {{"audio.title:alpha one"}, "album/a.m4a "},
      {{"audio.title:one alpha"}, ""},
      {{"audio.title:mp4"}, ""},  // in other fields only
      {{"audio.title=Alpha One"}, "album/a.m4a "},
      {{"audio.title=alpha one"}, ""},
      {{"audio.title=Alpha"}, ""},
      {{"audio.title=\xe2\x80\x93"}, "dash.m4a "},  // no words in it
      {{"media.duration=5"}, "album/b.m4a "},
      {{"no.such.field=1"}, ""},
      {{"image.width>=1920"}, "video/wide.mp4 "},
      {{"image.width>1920"}, ""},
      {{"image.width<1920"}, "video/small.mp4 "},
      {{"image.width<=320", "image.width>=320"}, "video/small.mp4 "},
      {{"-content.thumbnail"}, "notes.txt video/small.mp4 video/wide.mp4 "},
      {{"missing:content.thumbnail", "image.width>0"}, "video/small.mp4 video/wide.mp4 "},
      {{"missing:no.such.field", "-image.width"}, songs + "notes.txt "},
      {{"alpha", "-audio.title"}, ""},
  };
  for (const auto& [terms, names] : cases) EXPECT_EQ(c.search(terms), names) << terms[0];
  EXPECT_EQ(mp4index({"search", "--json", c.db, "audio.title:beta"}).out,
            hosttest::runMp4meta({"--json", c.root + "/album/b.m4a"}).out);
  for (const std::string bad : {"image.width>wide", "audio.title:", "", "missing:9x"}) {
    expectRun(mp4index({"search", c.db, bad}), 2, "term '" + bad + "'");
  }

  c.dir.write("music/album/b.m4a", hosttest::taggedSong("Beta Three", 6));
  unlink((c.root + "/video/small.mp4").c_str());
  c.dir.write("music/album/c.m4a", hosttest::taggedSong("Delta", 2));
  // A file named in a list, outside the roots, is added; updating only a
  // subfolder leaves the rest alone.
  const std::string extra = c.dir.write("extra.m4a", hosttest::taggedSong("Extra", 1));
  const std::string list = c.dir.write("list", extra + "\n");
  EXPECT_EQ(mp4index({"update", c.db, c.root + "/album/", "--files-from", list}).out,
            summary(2, 1, 0, 1, 0));
  EXPECT_EQ(mp4index({"update", c.db, c.root, "--files-from", list}).out, summary(0, 0, 1, 8, 0));
  EXPECT_EQ(c.search({"three"}), "album/b.m4a ");
  EXPECT_EQ(c.search({"two"}), "");  // the old title's words left the full-text index
  // What the index holds is what mp4meta reports, in both formats.
  EXPECT_EQ(mp4index({"show", c.db, c.root}).out, hosttest::runMp4meta({c.root}).out);
  const RunResult json = mp4index({"show", "--json", c.db, c.root});
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out, hosttest::runMp4meta({"--json", c.root}).out);
  expectRun(mp4index({"show", c.db, extra, c.root + "/gone.m4a"}), 1, "gone.m4a: not in the index",
            "audio.title: Extra");

  // Every song has the same cover: it is stored once, and goes with the
  // last file that holds it; nothing of a removed file stays behind.
  EXPECT_EQ(sql(c.db, "SELECT count(*) FROM blobs"), "1");
  ASSERT_EQ(std::system(("rm -r '" + c.root + "'").c_str()), 0);
  EXPECT_EQ(mp4index({"update", c.db, c.root}).out, summary(0, 0, 7, 0, 0));
  EXPECT_EQ(sql(c.db, "SELECT count(*) FROM blobs"), "1");
  unlink(extra.c_str());
  EXPECT_EQ(mp4index({"update", c.db, "--files-from", list}).out, summary(0, 0, 1, 0, 0));
  EXPECT_EQ(sql(c.db,
                "SELECT (SELECT count(*) FROM blobs) + (SELECT count(*) FROM nums) + "
                "(SELECT count(*) FROM texts) + (SELECT count(*) FROM word_files)"),
            "0");
  EXPECT_EQ(sql(c.db, "SELECT count(*) FROM words WHERE words MATCH 'alpha OR extra'"), "0");
}

TEST(Mp4index, BadInputIsReportedAndLeftAsItIs) {
  Collection c;
  const std::string song = c.root + "/album/a.m4a";
  const std::string newer = c.dir.path() + "/newer.db", other = c.dir.path() + "/other.db";
  sql(newer, "CREATE TABLE t(x); PRAGMA application_id = 1836069993; PRAGMA user_version = 6");
  sql(other, "CREATE TABLE notes(text)");
  const std::string text = c.dir.write("text.db", "not a database, only some text\n");
  const std::pair<std::string, std::string> cases[] = {
      {c.dir.path() + "/missing/index.db",
       "cannot create the index: folder " + c.dir.path() + "/missing does not exist"},
      {text, "not an index: the file is not an SQLite database"},
      {other, "not an index: an SQLite database of another application"},
      {newer, "the index was made by a newer mp4index (schema version 6"},
  };
  for (const auto& [db, message] : cases) {
    const std::string before = mp4test::readFile(db);  // "" when missing
    for (const std::string command : {"search", "show"}) {
      expectRun(mp4index({command, db, command == "show" ? song : "alpha"}), 1, db + ": ");
    }
    expectRun(mp4index({"update", db, song}), 1, db + ": " + message);
    EXPECT_EQ(mp4test::readFile(db), before) << db;
  }

  // An index of the version before is searched by no one, and made anew by
  // the next update.
  const std::string old = c.dir.path() + "/old.db";
  sql(old, "CREATE TABLE files(path); PRAGMA application_id = 1836069993; PRAGMA user_version = 1");
  expectRun(mp4index({"search", old, "alpha"}), 1,
            "older mp4index (schema version 1): run 'mp4index update'");
  expectRun(mp4index({"update", old, song}), 0, "schema version 1): made anew",
            summary(1, 0, 0, 0, 0));
  EXPECT_EQ(mp4index({"search", old, "alpha"}).out, song + "\n");

  // Stored values cut short are reported, never read past their end.
  sql(old, "UPDATE files SET report = substr(report, 1, length(report) - 1)");
  expectRun(mp4index({"show", old, song}), 1, "the index is damaged");

  // A folder that cannot be read is reported and what is stored under it
  // kept; an index that cannot be written stops the update with the reason.
  const hosttest::RunOptions permissionsHold{{}, {}, /*permissionsHold=*/true};
  ASSERT_EQ(mp4index({"update", c.db, c.root}).out, summary(6, 0, 0, 0, 0));
  // An unreadable file that did not change is not opened again; one that
  // changed is stored with the reason, which show gives.
  const std::string a = c.root + "/album/a.m4a";
  chmod(a.c_str(), 0);
  expectRun(mp4index({"update", c.db, c.root}, permissionsHold), 0, "", summary(0, 0, 0, 6, 0));
  c.dir.write("music/album/a.m4a", hosttest::taggedSong("Alpha Two", 3));
  expectRun(mp4index({"update", c.db, c.root}, permissionsHold), 1, "a.m4a: Permission denied",
            summary(0, 0, 0, 5, 1));
  expectRun(mp4index({"show", c.db, a}), 0, a + ": Permission denied");
  chmod(a.c_str(), 0644);
  chmod((c.root + "/album").c_str(), 0);
  const RunResult run = mp4index({"update", c.db, c.root}, permissionsHold);
  chmod((c.root + "/album").c_str(), 0755);
  expectRun(run, 1, "album: Permission denied", summary(0, 0, 0, 4, 1));

  c.dir.write("music/album/b.m4a", hosttest::taggedSong("Beta Three", 6));
  chmod(c.db.c_str(), 0444);
  expectRun(mp4index({"update", c.db, c.root}, permissionsHold), 1,
            c.db + ": attempt to write a readonly database");
  EXPECT_EQ(c.search({"audio.title:beta"}), "album/b.m4a ");
}

pid_t startUpdate(const std::string& db, const std::string& root, const char* jobs = "2") {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  freopen("/dev/null", "w", stdout);
  setenv("STRIGI_PLUGIN_PATH", MP4_MODULE_DIR, 1);
  execl(MP4INDEX_PATH, MP4INDEX_PATH, "update", db.c_str(), root.c_str(), "--jobs", jobs, nullptr);
  _exit(127);
}

// 300 files, updates killed at random moments, and the next one, searched
// while it writes, finishing the work.
TEST(Mp4index, UpdatesKilledOrSearchedKeepEveryFileWhole) {
  hosttest::TempDir dir;
  const std::string root = dir.path() + "/music", db = dir.path() + "/index.db";
  const std::string song = hosttest::taggedSong("Song", 2), video = hosttest::videoFile(640, 480);
  for (int i = 0; i < 300; ++i) {
    dir.write("music/" + std::to_string(i % 7) + "/" + std::to_string(i) + ".mp4",
              i % 3 ? song : video);
  }
  const std::set<std::string> whole = lineSet(hosttest::runMp4meta({"--json", root}).out);
  std::mt19937 random(7);
  for (int round = 0; round < 20; ++round) {
    for (const char* suffix : {"", "-wal", "-shm"}) unlink((db + suffix).c_str());
    pid_t pid = startUpdate(db, root);
    usleep(std::uniform_int_distribution<useconds_t>(0, 30000)(random));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(sql(db, "PRAGMA integrity_check"), "ok");
    // The full-text index too, once the schema is there.
    const std::string words = sql(db, "INSERT INTO words(words) VALUES('integrity-check')");
    EXPECT_TRUE(words.empty() || words == "no such table: words") << words;
    for (const std::string& line : lineSet(mp4index({"show", "--json", db, root}).out)) {
      EXPECT_EQ(whole.count(line), 1u) << "round " << round << ": " << line;
    }
    pid = startUpdate(db, root);
    size_t seen = 0;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      const size_t found = lineSet(mp4index({"search", db, "image.width=640"}).out).size();
      EXPECT_GE(found, seen) << round;  // whole batches, none taken back
      seen = std::max(seen, found);
    }
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(lineSet(mp4index({"show", "--json", db, root}).out), whole) << round;
    EXPECT_EQ(mp4index({"search", db, "--count", "-image.width"}).out, "200\n") << round;
  }

  // Writers at once, on a new index and on one they share with a folder's
  // update: all succeed and leave what one update leaves.
  for (int round = 0; round < 3; ++round) {
    for (const char* suffix : {"", "-wal", "-shm"}) unlink((db + suffix).c_str());
    const pid_t writers[] = {startUpdate(db, root, "1"), startUpdate(db, root),
                             startUpdate(db, root + "/3")};
    for (pid_t pid : writers) {
      int status = 0;
      waitpid(pid, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << round;
    }
    EXPECT_EQ(lineSet(mp4index({"show", "--json", db, root}).out), whole) << round;
    EXPECT_EQ(mp4index({"search", db, "--count", "has:image.width"}).out, "100\n") << round;
  }
}

// The files of a list that stalls: each full batch is searchable while the
// update waits for the rest.
TEST(Mp4index, BatchesAreSearchableAsTheyCommit) {
  hosttest::TempDir dir;
  const std::string db = dir.path() + "/index.db", song = hosttest::taggedSong("Song", 2);
  std::string list;
  for (int i = 0; i < 250; ++i)
    list += dir.write("music/" + std::to_string(i) + ".m4a", song) + '\n';
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[0], STDIN_FILENO);
    close(fds[1]);
    freopen("/dev/null", "w", stdout);
    setenv("STRIGI_PLUGIN_PATH", MP4_MODULE_DIR, 1);
    execl(MP4INDEX_PATH, MP4INDEX_PATH, "update", db.c_str(), "--files-from", "-", nullptr);
    _exit(127);
  }
  close(fds[0]);
  ASSERT_EQ(write(fds[1], list.data(), list.size()), static_cast<ssize_t>(list.size()));
  size_t found = 0;
  for (int tries = 0; tries < 600 && found < 200; ++tries) {
    usleep(50000);
    found = lineSet(mp4index({"search", db, "song"}).out).size();
  }
  EXPECT_GE(found, 200u);
  EXPECT_LT(found, 250u);
  close(fds[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(lineSet(mp4index({"search", db, "song"}).out).size(), 250u);
}

// Entries of archives are files of the index: after each change the index
// shows what a fresh update shows (and mp4meta reports), an archive that did
// not change is not opened, and hostile entries are errors that name them.
TEST(Mp4index, ArchivesAreStoredAsTheirEntries) {
  using hosttest::packArchive;
  hosttest::TempDir dir;
  const std::string db = dir.path() + "/index.db", root = dir.path() + "/music";
  const auto song = [](const std::string& title) { return hosttest::taggedSong(title, 3); };
  const auto shown = [&](const std::string& index) {
    return mp4index({"show", "--json", index, root}).out +
           mp4index({"search", index, "missing:no.such.key"}).out;
  };
  const auto expectFresh = [&](const std::string& step) {
    const std::string fresh = dir.path() + "/fresh" + std::to_string(dir.path().size()) + ".db";
    for (const char* suffix : {"", "-wal", "-shm"}) unlink((fresh + suffix).c_str());
    mp4index({"update", fresh, root});
    EXPECT_EQ(shown(db), shown(fresh)) << step;
  };
  dir.write("music/single.m4a", song("Single"));
  dir.write(
      "music/album.zip",
      packArchive("zip", {{"01.m4a", song("Alpha 1")},
                          {"02.m4a", song("Beta")},
                          {"in.tgz", packArchive("tar", {{"d/03.m4a", song("Deep")}}, "gzip")}}));
  const std::string stored = dir.write(
      "music/stored.zip", packArchive("zip-stored", {{"v.mp4", hosttest::videoFile(640, 480)}}));
  dir.write("music/locked.zip", packArchive("zip-encrypted", {{"x.m4a", song("Locked")}}));
  dir.write("music/dots.tar",
            packArchive("tar", {{"../up.m4a", song("Up")}, {"ok.m4a", song("Ok")}}));
  expectRun(mp4index({"update", db, root}), 1, root + "/locked.zip/x.m4a: the entry is encrypted",
            summary(6, 0, 0, 0, 2));
  EXPECT_NE(mp4index({"show", db, root}).err.find(root + "/dots.tar/../up.m4a: the entry's name"),
            std::string::npos);
  EXPECT_EQ(lineSet(mp4index({"show", "--json", db, root}).out),
            lineSet(hosttest::runMp4meta({"--json", root}).out));
  // The archives themselves are no files of the index.
  EXPECT_EQ(mp4index({"search", "--count", db, "missing:no.such.key"}).out, "8\n");
  EXPECT_EQ(mp4index({"search", db, "deep"}).out, root + "/album.zip/in.tgz/d/03.m4a\n");

  // An archive that did not change is not opened: these bytes would be none.
  struct stat st;
  ASSERT_EQ(stat(stored.c_str(), &st), 0);
  dir.write("music/stored.zip", std::string(static_cast<size_t>(st.st_size), 'x'));
  const timespec times[] = {st.st_atim, st.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, stored.c_str(), times, 0), 0);
  const std::string before = shown(db);
  EXPECT_EQ(mp4index({"update", db, root}).out, summary(0, 0, 0, 8, 0));
  EXPECT_EQ(shown(db), before);
  // A path named inside an archive is no file: what is stored stays.
  expectRun(mp4index({"update", db, root + "/dots.tar/ok.m4a"}), 1, "ok.m4a: Not a directory");
  EXPECT_EQ(shown(db), before);
  // Changed, an archive is read whole: an entry added, one removed, one
  // changed; one that is no archive any more loses its entries.
  dir.write("music/album.zip", packArchive("zip", {{"01.m4a", song("Alpha 22")},
                                                   {"in.tgz", packArchive("tar", {}, "gzip")},
                                                   {"04.m4a", song("Four")}}));
  utimensat(AT_FDCWD, stored.c_str(), nullptr, 0);
  EXPECT_EQ(mp4index({"update", db, root}).out, summary(1, 2, 3, 4, 0));
  expectFresh("changed");
  EXPECT_EQ(mp4index({"search", db, "alpha"}).out, root + "/album.zip/01.m4a\n");

  // Archives off, an archive is a file; on again, its entries come back.
  EXPECT_EQ(mp4index({"update", db, "--archives=no", root}).out, summary(0, 3, 5, 2, 0));
  EXPECT_EQ(mp4index({"search", db, "path:album"}).out, root + "/album.zip\n");
  EXPECT_EQ(mp4index({"update", db, root}).out, summary(3, 0, 0, 2, 2));
  expectFresh("archives on again");
  // A folder where an archive was, holding a file of an entry's name, size
  // and time, is a folder of files.
  ASSERT_EQ(std::system(("rm '" + root + "/album.zip'").c_str()), 0);
  const std::string same = dir.write("music/album.zip/01.m4a", song("Alpha 99"));
  const timespec entryTime[] = {{1700000000, 0}, {1700000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, same.c_str(), entryTime, 0), 0);
  mp4index({"update", db, root});
  expectFresh("a folder instead");
  EXPECT_EQ(mp4index({"search", db, "alpha"}).out, same + "\n");

  // An archive cut short in its second entry: the first is stored, the
  // second and the archive fail with the reason, and are read again.
  const std::string second = song("Second");
  const std::string tar =
      packArchive("tar", {{"first.m4a", song("First")}, {"second.m4a", second}});
  const size_t cut = tar.size() - 1024 - (second.size() + 511) / 512 * 512 + second.size() / 2;
  const std::string cutShort = dir.write("other/cut.tar", tar.substr(0, cut));
  expectRun(mp4index({"update", db, dir.path() + "/other"}), 1,
            cutShort + "/second.m4a: Truncated tar archive", summary(1, 0, 0, 0, 2));
  EXPECT_EQ(lineSet(mp4index({"show", "--json", db, cutShort}).out),
            lineSet(hosttest::runMp4meta({"--json", cutShort}).out));
  EXPECT_EQ(mp4index({"update", db, dir.path() + "/other"}).out, summary(0, 0, 0, 1, 2));

  // Named in a list, a changed archive loses the entries it no longer holds.
  const std::string listed =
      dir.write("listed.zip", packArchive("zip", {{"a.m4a", song("A")}, {"b.m4a", song("B")}}));
  const std::string list = dir.write("list", listed + "\n");
  EXPECT_EQ(mp4index({"update", db, "--files-from", list}).out, summary(2, 0, 0, 0, 0));
  dir.write("listed.zip", packArchive("zip", {{"a.m4a", song("A")}}));
  EXPECT_EQ(mp4index({"update", db, "--files-from", list}).out, summary(0, 0, 1, 1, 0));
  EXPECT_EQ(lineSet(mp4index({"show", "--json", db, listed}).out),
            lineSet(hosttest::runMp4meta({"--json", listed}).out));
}

}  // namespace
