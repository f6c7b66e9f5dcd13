// A local stand-in of the kit's REST service for the demo: it grants an SDK
// token for any publishable key, creates the one demo user and answers what
// the demo host asks while tracking.  It listens on 127.0.0.1 only, on a free
// port it writes to --port-file, and prints one line per request.
//
//   pelk_rest_standin --port-file FILE --user-id ID --account-id ID --project-id ID
#include <httplib.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

namespace {

using json = nlohmann::json;

std::string argument(const std::map<std::string, std::string>& args, const std::string& name,
                     const std::string& fallback) {
  const auto it = args.find(name);
  return it == args.end() ? fallback : it->second;
}

void say(const std::string& line) {
  std::printf("[rest]    %s\n", line.c_str());
  std::fflush(stdout);
}

json reply(int code, const std::string& msg, json data) {
  return json{{"code", code}, {"msg", msg}, {"data", std::move(data)}};
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> args;
  for (int i = 1; i + 1 < argc; i += 2) args[argv[i]] = argv[i + 1];
  const std::string portFile = argument(args, "--port-file", "");
  const std::string userId = argument(args, "--user-id", "demo-user");
  const std::string accountId = argument(args, "--account-id", "demo-account");
  const std::string projectId = argument(args, "--project-id", "demo-project");
  if (portFile.empty()) {
    std::fprintf(stderr, "usage: %s --port-file FILE [--user-id ID --account-id ID --project-id ID]\n", argv[0]);
    return 2;
  }

  std::string description;
  const auto user = [&] {
    return json{{"user_id", userId},         {"description", description}, {"app_id", "demo-app"},
                {"account_id", accountId},   {"project_id", projectId},    {"geofence_events", false},
                {"location_events", false},  {"trips_events", false},      {"nearby_events", false},
                {"location_listener", true}, {"event_listener", false}};
  };

  // Stopped by the demo with SIGTERM, which ends the process as it is: it
  // keeps nothing that needs saving.
  httplib::Server server;

  server.Post("/v3/user/token/", [&](const httplib::Request&, httplib::Response& res) {
    say("POST /v3/user/token/  -> an SDK token for the publishable key");
    res.set_content(reply(200, "Token generated", {{"sdk_token", "demo-sdk-token"}}).dump(), "application/json");
  });
  server.Post("/v3/user/", [&](const httplib::Request& req, httplib::Response& res) {
    const auto body = json::parse(req.body, nullptr, false);
    if (body.is_object() && body.contains("description") && body["description"].is_string()) {
      description = body["description"].get<std::string>();
    }
    say("POST /v3/user/        -> user " + userId + " (account " + accountId + ", project " + projectId + ")");
    res.status = 201;
    res.set_content(reply(201, "User created", user()).dump(), "application/json");
  });
  server.Get("/v3/user/", [&](const httplib::Request& req, httplib::Response& res) {
    say("GET  " + req.target);
    res.set_content(reply(200, "User", user()).dump(), "application/json");
  });
  // Whatever else the host asks is shown, so the demo's output tells what a
  // real service would have had to answer.
  server.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
    if (res.status == 404) {
      say(req.method + " " + req.target + "  -> 404 (not served by the stand-in)");
      res.set_content(json{{"code", 404}, {"msg", "Not found"}}.dump(), "application/json");
    }
  });

  const int port = server.bind_to_any_port("127.0.0.1");
  if (port <= 0) {
    std::fprintf(stderr, "rest stand-in: cannot listen on 127.0.0.1\n");
    return 1;
  }
  {
    std::ofstream out(portFile + ".tmp");
    out << port << "\n";
  }
  std::rename((portFile + ".tmp").c_str(), portFile.c_str());
  server.listen_after_bind();
  return 0;
}
