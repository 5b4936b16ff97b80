// libpq, loaded when an index on a PostgreSQL server is first opened, so
// that a command on an SQLite index does not pay for loading it and the
// libraries it needs.
#ifndef MP4INDEX_LIBPQ_H
#define MP4INDEX_LIBPQ_H

#include <libpq-fe.h>

#include <string>

namespace mp4index {

#define MP4INDEX_LIBPQ_FUNCTIONS(F)                                                             \
  F(PQconnectdbParams)                                                                          \
  F(PQstatus) F(PQerrorMessage) F(PQfinish) F(PQexecParams) F(PQresultStatus)                   \
      F(PQresultErrorField) F(PQclear) F(PQntuples) F(PQgetvalue) F(PQgetlength) F(PQgetisnull) \
          F(PQsetNoticeProcessor)

struct Libpq {
#define MP4INDEX_LIBPQ_POINTER(name) decltype(&::name) name = nullptr;
  MP4INDEX_LIBPQ_FUNCTIONS(MP4INDEX_LIBPQ_POINTER)
#undef MP4INDEX_LIBPQ_POINTER
};

// libpq's functions, loaded on the first call; throws DatabaseError when
// the library is missing.
const Libpq& libpq();

}  // namespace mp4index

#endif
