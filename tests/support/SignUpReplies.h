#pragma once

// The REST stand-in's answers to a start-up that signs a user up: a token,
// then user "u-1" of account "acc-1" and project "prj-1", listening to its own
// positions (so they are published on "locations/acc-1/prj-1/u-1").

#include <nlohmann/json.hpp>

#include "support/HttpTestServer.h"

namespace pelk::test {

inline void answerSignUp(HttpTestServer& server) {
  using nlohmann::json;
  server.setDefault("/v3/user/token/",
                    ScriptedReply::json(json{{"code", 200}, {"msg", "ok"}, {"data", {{"sdk_token", "tok-1"}}}}.dump()));
  server.setDefault("/v3/user/", ScriptedReply::json(json{{"code", 201},
                                                          {"msg", "ok"},
                                                          {"data",
                                                           {{"user_id", "u-1"},
                                                            {"app_id", "app-1"},
                                                            {"geofence_events", false},
                                                            {"location_events", false},
                                                            {"nearby_events", false},
                                                            {"trips_events", false},
                                                            {"location_listener", true},
                                                            {"event_listener", false},
                                                            {"account_id", "acc-1"},
                                                            {"project_id", "prj-1"}}}}
                                                         .dump()));
}

}  // namespace pelk::test
