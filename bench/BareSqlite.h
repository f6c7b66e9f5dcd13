#pragma once

// The baseline the kit's store is measured against: plain SQLite calls on a
// file of the kit's own shape (tables and indexes copied from the kit's file),
// opened with the kit's settings (WAL, synchronous=FULL, foreign keys), with
// statements prepared once.

#include <sqlite3.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace pelk::bench {

inline void check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    throw std::runtime_error(std::string(what) + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
  }
}

inline void exec(sqlite3* db, const std::string& sql) {
  check(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), db, sql.c_str());
}

class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) : db_(db) {
    check(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr), db, sql.c_str());
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt* get() const { return stmt_; }
  bool step() {
    const int rc = sqlite3_step(stmt_);
    check(rc, db_, "step");
    return rc == SQLITE_ROW;
  }
  void reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

// One SQLite connection, opened as the kit opens its stores.
class BareDb {
 public:
  // `vfs`: a file layer of SQLite's by name (null: the default one).
  explicit BareDb(const std::string& path, bool readOnly = false, const char* vfs = nullptr) {
    const int flags = readOnly ? SQLITE_OPEN_READONLY : (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    check(sqlite3_open_v2(path.c_str(), &db_, flags, vfs), db_, path.c_str());
    if (!readOnly) {
      exec(db_, "PRAGMA journal_mode=WAL");
      exec(db_, "PRAGMA synchronous=FULL");
      exec(db_, "PRAGMA foreign_keys=ON");
    }
  }
  ~BareDb() { sqlite3_close_v2(db_); }
  BareDb(const BareDb&) = delete;
  BareDb& operator=(const BareDb&) = delete;
  sqlite3* get() const { return db_; }

  // Creates every table and index the file at `source` has.
  void copySchemaFrom(const std::string& source) {
    BareDb from(source, true);
    Statement q(from.get(),
                "SELECT sql FROM sqlite_master WHERE sql IS NOT NULL AND name NOT LIKE 'sqlite_%' "
                "ORDER BY type = 'index'");
    while (q.step()) exec(db_, reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 0)));
  }

 private:
  sqlite3* db_ = nullptr;
};

// The values of one row, kept so that the baseline stores exactly the row the
// kit stored.
class Row {
 public:
  Row() = default;
  Row(const Row&) = delete;
  Row& operator=(const Row&) = delete;
  ~Row() {
    for (auto* v : values_) sqlite3_value_free(v);
  }
  // The newest row of `table` in the file at `path`, primary key left out.
  void loadNewest(const std::string& path, const std::string& table) {
    BareDb from(path, true);
    columns_.clear();
    {
      Statement info(from.get(), "SELECT name FROM pragma_table_info('" + table + "') WHERE pk = 0");
      while (info.step()) columns_.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(info.get(), 0)));
    }
    Statement q(from.get(), "SELECT " + columnList() + " FROM " + table + " ORDER BY rowid DESC LIMIT 1");
    if (!q.step()) throw std::runtime_error("no row in " + table);
    for (int i = 0; i < static_cast<int>(columns_.size()); ++i) {
      values_.push_back(sqlite3_value_dup(sqlite3_column_value(q.get(), i)));
    }
  }
  std::string columnList() const {
    std::string s;
    for (const auto& c : columns_) s += (s.empty() ? "" : ", ") + c;
    return s;
  }
  std::string insertSql(const std::string& table) const {
    std::string marks;
    for (std::size_t i = 0; i < columns_.size(); ++i) marks += i ? ", ?" : "?";
    return "INSERT INTO " + table + " (" + columnList() + ") VALUES (" + marks + ")";
  }
  void bind(Statement& s) const {
    for (int i = 0; i < static_cast<int>(values_.size()); ++i) sqlite3_bind_value(s.get(), i + 1, values_[i]);
  }

 private:
  std::vector<std::string> columns_;
  std::vector<sqlite3_value*> values_;
};

// Empties `table` and stores `row` in it `rows` times, in one transaction on a
// connection of its own.
inline void fillTable(const std::string& path, const std::string& table, const Row& row, int rows) {
  BareDb db(path);
  exec(db.get(), "BEGIN IMMEDIATE");
  exec(db.get(), "DELETE FROM " + table);
  Statement insert(db.get(), row.insertSql(table));
  for (int i = 0; i < rows; ++i) {
    row.bind(insert);
    insert.step();
    insert.reset();
  }
  exec(db.get(), "COMMIT");
}

}  // namespace pelk::bench
