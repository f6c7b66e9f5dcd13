#pragma once

// Column mapping of the local entities, shared by the stores of this layer:
// one descriptor per attribute (its name and the member that holds it), from
// which the table schema, the insert and select statements and the readers are
// built.  Names in SQL text come only from these descriptors, never from data;
// every value is bound.

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include <SQLiteCpp/SQLiteCpp.h>

#include "foundation/DateExtensions.h"
#include "platform/Clock.h"
#include "storage/LocalEntities.h"

namespace pelk::storage {

using Link = std::optional<std::int64_t>;

template <class E>
using Member =
    std::variant<OptionalText E::*, double E::*, std::int16_t E::*, bool E::*, std::optional<Date> E::*, Link E::*>;

template <class E>
struct Attribute {
  const char* name;
  Member<E> member;
  // For a to-one relationship column: the table it points at.
  const char* references = nullptr;
};

// Each table is never destroyed: a store task may still run while the process
// exits, after function-local statics are gone.
template <class E>
const std::vector<Attribute<E>>& columnsOf();

#define PELK_ATTR(E, name) \
  Attribute<E> { #name, &E::name }

template <>
inline const std::vector<Attribute<HttpLocationData>>& columnsOf<HttpLocationData>() {
  using E = HttpLocationData;
  static const auto* cols = new std::vector<Attribute<E>>{
      PELK_ATTR(E, accuracy),
      PELK_ATTR(E, activity),
      PELK_ATTR(E, altitude),
      PELK_ATTR(E, app_stat),
      PELK_ATTR(E, bat_saver_mode),
      PELK_ATTR(E, bat_stat),
      PELK_ATTR(E, battery_remaining),
      PELK_ATTR(E, ended_at),
      PELK_ATTR(E, gps_stat),
      PELK_ATTR(E, latitude),
      PELK_ATTR(E, location_permission),
      PELK_ATTR(E, longitude),
      PELK_ATTR(E, motion_stat),
      PELK_ATTR(E, net_stat),
      PELK_ATTR(E, recorded_at),
      PELK_ATTR(E, speed),
      PELK_ATTR(E, started_at),
      PELK_ATTR(E, timezone_offset),
      PELK_ATTR(E, user_id),
  };
  return *cols;
}

template <>
inline const std::vector<Attribute<MqttLocationData>>& columnsOf<MqttLocationData>() {
  using E = MqttLocationData;
  static const auto* cols = new std::vector<Attribute<E>>{
      PELK_ATTR(E, activity),
      PELK_ATTR(E, altitude),
      PELK_ATTR(E, app_context),
      PELK_ATTR(E, app_id),
      PELK_ATTR(E, battery_remaining),
      PELK_ATTR(E, battery_saver),
      PELK_ATTR(E, battery_status),
      PELK_ATTR(E, course),
      PELK_ATTR(E, device_manufacturer),
      PELK_ATTR(E, device_model),
      PELK_ATTR(E, event_listener),
      PELK_ATTR(E, geofence_events),
      PELK_ATTR(E, gps_status),
      PELK_ATTR(E, horizontal_accuracy),
      PELK_ATTR(E, latitude),
      PELK_ATTR(E, location_events),
      PELK_ATTR(E, location_id),
      PELK_ATTR(E, location_listener),
      PELK_ATTR(E, location_permission),
      PELK_ATTR(E, longitude),
      PELK_ATTR(E, mqtt_id),
      PELK_ATTR(E, mqttLocation_time),
      PELK_ATTR(E, nearby_events),
      PELK_ATTR(E, network_status),
      PELK_ATTR(E, os_version),
      PELK_ATTR(E, recorded_at),
      PELK_ATTR(E, speed),
      PELK_ATTR(E, tracking_mode),
      PELK_ATTR(E, trips_events),
      PELK_ATTR(E, tz_offset),
      PELK_ATTR(E, user_id),
      PELK_ATTR(E, vertical_accuracy),
  };
  return *cols;
}

template <>
inline const std::vector<Attribute<MyTrip>>& columnsOf<MyTrip>() {
  using E = MyTrip;
  static const auto* cols = new std::vector<Attribute<E>>{
      PELK_ATTR(E, distance),   PELK_ATTR(E, duration),  PELK_ATTR(E, latitude),    PELK_ATTR(E, location_count),
      PELK_ATTR(E, locationId), PELK_ATTR(E, longitude), PELK_ATTR(E, speed),       PELK_ATTR(E, start_time),
      PELK_ATTR(E, status),     PELK_ATTR(E, tripId),    PELK_ATTR(E, update_time),
  };
  return *cols;
}

template <>
inline const std::vector<Attribute<MyTripRoute>>& columnsOf<MyTripRoute>() {
  using E = MyTripRoute;
  static const auto* cols = new std::vector<Attribute<E>>{
      PELK_ATTR(E, accuracy),  PELK_ATTR(E, activity),
      PELK_ATTR(E, altitude),  PELK_ATTR(E, entityId),
      PELK_ATTR(E, latitude),  PELK_ATTR(E, location_id),
      PELK_ATTR(E, longitude), PELK_ATTR(E, recorded_at),
      PELK_ATTR(E, tripId),    Attribute<E>{"trip", &E::trip, MyTrip::entityName},
  };
  return *cols;
}

template <>
inline const std::vector<Attribute<TripsLocal>>& columnsOf<TripsLocal>() {
  using E = TripsLocal;
  static const auto* cols = new std::vector<Attribute<E>>{
      PELK_ATTR(E, created_at),      PELK_ATTR(E, distance_covered), PELK_ATTR(E, duration),
      PELK_ATTR(E, is_deleted),      PELK_ATTR(E, is_ended),         PELK_ATTR(E, is_paused),
      PELK_ATTR(E, is_started),      PELK_ATTR(E, location_id),      PELK_ATTR(E, sync_status),
      PELK_ATTR(E, synced),          PELK_ATTR(E, trip_ended_at),    PELK_ATTR(E, trip_id),
      PELK_ATTR(E, trip_started_at), PELK_ATTR(E, updated_at),       PELK_ATTR(E, user_id),
  };
  return *cols;
}

template <>
inline const std::vector<Attribute<TripEventsLocal>>& columnsOf<TripEventsLocal>() {
  using E = TripEventsLocal;
  static const auto* cols = new std::vector<Attribute<E>>{
      PELK_ATTR(E, created_at), PELK_ATTR(E, entityId),      PELK_ATTR(E, event_source),
      PELK_ATTR(E, event_type), PELK_ATTR(E, event_version), PELK_ATTR(E, location_id),
      PELK_ATTR(E, trip_id),    PELK_ATTR(E, user_id),       Attribute<E>{"trip", &E::trip, TripsLocal::entityName},
  };
  return *cols;
}

#undef PELK_ATTR

// The primary-key column of every entity table.
inline constexpr const char* kPrimaryKey = "pk";

// Names of the attributes (relationship columns left out), in order.
template <class E>
std::vector<std::string> attributeNamesOf() {
  std::vector<std::string> names;
  for (const auto& c : columnsOf<E>()) {
    if (!c.references) names.emplace_back(c.name);
  }
  return names;
}

// The column definition of one attribute, as CREATE TABLE and ALTER TABLE
// take it.  Each is one SQLite can add to a table that already holds rows:
// no key, a default for every NOT NULL, a NULL default for every reference.
template <class E>
std::string columnSql(const Attribute<E>& c) {
  std::string sql = c.name;
  std::visit(
      [&](auto m) {
        using T = std::remove_cvref_t<decltype(std::declval<E>().*m)>;
        if constexpr (std::is_same_v<T, OptionalText>) {
          sql += " TEXT";
        } else if constexpr (std::is_same_v<T, double>) {
          sql += " REAL NOT NULL DEFAULT 0";
        } else if constexpr (std::is_same_v<T, std::int16_t> || std::is_same_v<T, bool>) {
          sql += " INTEGER NOT NULL DEFAULT 0";
        } else if constexpr (std::is_same_v<T, std::optional<Date>>) {
          sql += " REAL";
        } else {
          sql += std::string(" INTEGER REFERENCES ") + c.references + "(" + kPrimaryKey + ") ON DELETE CASCADE";
        }
      },
      c.member);
  return sql;
}

// "CREATE TABLE IF NOT EXISTS" for the entity.
template <class E>
std::string createTableSql() {
  std::string sql = std::string("CREATE TABLE IF NOT EXISTS ") + E::entityName + " (" + kPrimaryKey +
                    " INTEGER PRIMARY KEY AUTOINCREMENT";
  for (const auto& c : columnsOf<E>()) sql += ", " + columnSql(c);
  return sql + ")";
}

// "SELECT pk, <columns> FROM <entity>" (the caller appends WHERE / ORDER BY).
// Built once per entity; like the tables, never destroyed.
template <class E>
const std::string& selectSql() {
  static const auto* text = [] {
    auto* sql = new std::string(std::string("SELECT ") + kPrimaryKey);
    for (const auto& c : columnsOf<E>()) *sql += std::string(", ") + c.name;
    return &(*sql += std::string(" FROM ") + E::entityName);
  }();
  return *text;
}

// "INSERT INTO <entity> (<columns>) VALUES (?, ...)", built once per entity.
template <class E>
const std::string& insertSql() {
  static const auto* text = [] {
    std::string names;
    std::string marks;
    for (const auto& c : columnsOf<E>()) {
      if (!names.empty()) {
        names += ", ";
        marks += ", ";
      }
      names += c.name;
      marks += "?";
    }
    return new std::string(std::string("INSERT INTO ") + E::entityName + " (" + names + ") VALUES (" + marks + ")");
  }();
  return *text;
}

// "UPDATE <entity> SET <column> = ?, ... WHERE pk = ?", built once per entity:
// the columns are bound as bindColumns() binds them, the key after them.
template <class E>
const std::string& updateByKeySql() {
  static const auto* text = [] {
    auto* sql = new std::string(std::string("UPDATE ") + E::entityName + " SET ");
    bool first = true;
    for (const auto& c : columnsOf<E>()) {
      if (!first) *sql += ", ";
      first = false;
      *sql += std::string(c.name) + " = ?";
    }
    return &(*sql += std::string(" WHERE ") + kPrimaryKey + " = ?");
  }();
  return *text;
}

// "DELETE FROM <entity> WHERE pk = ?", built once per entity.
template <class E>
const std::string& deleteByKeySql() {
  static const auto* text =
      new std::string(std::string("DELETE FROM ") + E::entityName + " WHERE " + kPrimaryKey + " = ?");
  return *text;
}

template <class E>
void bindColumns(SQLite::Statement& q, const E& row) {
  int index = 1;
  for (const auto& c : columnsOf<E>()) {
    std::visit(
        [&](auto m) {
          const auto& v = row.*m;
          using T = std::remove_cvref_t<decltype(v)>;
          if constexpr (std::is_same_v<T, OptionalText>) {
            if (v) {
              q.bind(index, *v);
            } else {
              q.bind(index);
            }
          } else if constexpr (std::is_same_v<T, double>) {
            // SQLite would store NaN as NULL and refuse the row; an unknown
            // reading is kept as the column's default instead of losing the row.
            q.bind(index, std::isfinite(v) ? v : 0.0);
          } else if constexpr (std::is_same_v<T, std::int16_t> || std::is_same_v<T, bool>) {
            q.bind(index, static_cast<int>(v));
          } else if constexpr (std::is_same_v<T, std::optional<Date>>) {
            if (v) {
              q.bind(index, platform::Clock::secondsSince1970(*v));
            } else {
              q.bind(index);
            }
          } else {
            if (v) {
              q.bind(index, static_cast<std::int64_t>(*v));
            } else {
              q.bind(index);
            }
          }
        },
        c.member);
    ++index;
  }
}

// Reads the current row of a statement built from selectSql<E>().  A value of
// an unexpected type in the file (written by something else) reads as absent
// or as the scalar's default rather than failing the whole read.
template <class E>
E readRow(SQLite::Statement& q) {
  E row;
  row.objectID = q.getColumn(0).getInt64();
  int index = 1;
  for (const auto& c : columnsOf<E>()) {
    const SQLite::Column col = q.getColumn(index);
    std::visit(
        [&](auto m) {
          auto& v = row.*m;
          using T = std::remove_cvref_t<decltype(v)>;
          if constexpr (std::is_same_v<T, OptionalText>) {
            if (col.isText()) v = col.getString();
          } else if constexpr (std::is_same_v<T, double>) {
            if (col.isFloat() || col.isInteger()) v = col.getDouble();
          } else if constexpr (std::is_same_v<T, std::int16_t>) {
            if (col.isInteger() || col.isFloat()) v = saturatingInt16(static_cast<std::int64_t>(col.getInt64()));
          } else if constexpr (std::is_same_v<T, bool>) {
            if (col.isInteger() || col.isFloat()) v = col.getInt64() != 0;
          } else if constexpr (std::is_same_v<T, std::optional<Date>>) {
            if (col.isFloat() || col.isInteger()) v = platform::Clock::fromSecondsSince1970(col.getDouble());
          } else {
            if (col.isInteger()) v = static_cast<std::int64_t>(col.getInt64());
          }
        },
        c.member);
    ++index;
  }
  return row;
}

// Every attribute that holds a value, under its name (relationships left out).
template <class E>
nlohmann::json dictionaryOf(const E& row) {
  nlohmann::json out = nlohmann::json::object();
  for (const auto& c : columnsOf<E>()) {
    if (c.references) continue;
    std::visit(
        [&](auto m) {
          const auto& v = row.*m;
          using T = std::remove_cvref_t<decltype(v)>;
          if constexpr (std::is_same_v<T, OptionalText>) {
            if (v) out[c.name] = *v;
          } else if constexpr (std::is_same_v<T, std::optional<Date>>) {
            if (v) out[c.name] = iso8601(*v);
          } else if constexpr (std::is_same_v<T, Link>) {
          } else if constexpr (std::is_same_v<T, std::int16_t>) {
            out[c.name] = static_cast<int>(v);
          } else {
            out[c.name] = v;
          }
        },
        c.member);
  }
  return out;
}

}  // namespace pelk::storage
