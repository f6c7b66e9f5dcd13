#pragma once

#include <array>
#include <string>

#include <nlohmann/json.hpp>

#include "pelk/PelkPublish.h"

namespace pelk {

// Turns the app's PelkPublish into the stored publish switches: one boolean
// per option field under "LocationPublish" + field name, and the metadata
// under "LocationPublishMeta_data".  The message builders read them afresh for
// every message.
class LocationPublishParameter {
 public:
  // One option field of PelkPublish and its switch.
  struct OptionField {
    const char* name;  // the field and message key
    const char* key;   // its switch in the settings
    bool PelkPublish::*member;
    bool copiedBySave;  // the four extra keys and airplane_mode
  };
  // The 28 option fields in declaration order.
  static const std::array<OptionField, 28>& optionFields();

  static LocationPublishParameter& sharedInstance();

  // Writes false under all 28 switch keys and the metadata key; the mode
  // switches and the publisher switch stay.
  void resetPublish();
  // Stores the metadata and the five fields that save mode does not send
  // anyway (airplane_mode and the four extra keys) when they are on.
  void publishSave(const PelkPublish* publish = nullptr);
  // Stores the metadata and every option field that is on.
  void publishOnly(const PelkPublish* publish = nullptr);

  // The app's publish-and-save / publish-only choice as a whole: clears the
  // earlier choice, stores the mode switches, turns the location-publisher
  // switch on, connects when not connected, then stores the new selection.
  static void startPublishing(bool saveMode, const PelkPublish* publish);
  // The app's stop-publishing: the location-publisher switch goes off first,
  // so that the reconnect a disconnect schedules finds it off, then the
  // connection is closed.  The stored selection stays.
  static void stopPublishing();
  // Stores the location-publisher switch with its log line.
  static void locationPublisher(bool on);

  // The part of a metadata dictionary that can be stored and sent: entries
  // that are null, not finite or not UTF-8 (at any depth) are dropped with a
  // log line.  Anything but an object gives {}.
  static nlohmann::json storableMetaData(const nlohmann::json& metaData);

 private:
  void storeMetaData(const PelkPublish* publish);
};

}  // namespace pelk
