// A database of its own on the tests' PostgreSQL server, which ctest
// starts with pg_server.sh (in the folder MP4INDEX_TEST_PG_DIR), dropped
// when the test ends.
#ifndef MP4INDEX_TEST_PG_DATABASE_H
#define MP4INDEX_TEST_PG_DATABASE_H

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>

namespace pgtest {

inline std::string server(const std::string& dir = MP4INDEX_TEST_PG_DIR) {
  return "host=" + dir + " user=mp4index";
}

// Whether the server runs; else why not, for the test to skip (no
// PostgreSQL here) or fail (it should have been started).
inline bool running(bool* skip, std::string* why) {
  struct stat st;
  if (stat((std::string(MP4INDEX_TEST_PG_DIR) + "/.s.PGSQL.5432").c_str(), &st) == 0) return true;
  *skip = stat("/usr/lib/postgresql/15/bin/initdb", &st) != 0;
  *why = *skip ? "PostgreSQL 15 is not installed (postgresql-15)"
               : "no test server: ctest starts it, or run tests/index/pg_server.sh start " +
                     std::string(MP4INDEX_TEST_PG_DIR);
  return false;
}

// The first value the statement gives, or the server's error.
inline std::string sql(const std::string& connection, const std::string& statement) {
  PGconn* conn = PQconnectdb(connection.c_str());
  PGresult* r = PQexec(conn, statement.c_str());
  std::string out = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) > 0 ? PQgetvalue(r, 0, 0)
                    : PQresultStatus(r) == PGRES_FATAL_ERROR ? PQresultErrorMessage(r)
                                                             : "";
  PQclear(r);
  PQfinish(conn);
  return out;
}

class Database {
 public:
  explicit Database(const std::string& dir = MP4INDEX_TEST_PG_DIR) : m_server(server(dir)) {
    static std::atomic<int> made{0};
    m_name = "test_" + std::to_string(getpid()) + "_" + std::to_string(made++);
    EXPECT_EQ(pgtest::sql(m_server + " dbname=postgres", "CREATE DATABASE " + m_name), "");
  }
  ~Database() {
    pgtest::sql(m_server + " dbname=postgres",
                "DROP DATABASE IF EXISTS " + m_name + " WITH (FORCE)");
  }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Its connection string, as mp4index takes it.
  std::string name() const { return m_server + " dbname=" + m_name; }
  std::string sql(const std::string& statement) const { return pgtest::sql(name(), statement); }

 private:
  std::string m_server, m_name;
};

}  // namespace pgtest

#define REQUIRE_PG_SERVER()              \
  do {                                   \
    bool skip = false;                   \
    std::string why;                     \
    if (!pgtest::running(&skip, &why)) { \
      if (skip) GTEST_SKIP() << why;     \
      FAIL() << why;                     \
    }                                    \
  } while (0)

#endif
