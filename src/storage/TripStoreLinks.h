#pragma once

#include <functional>
#include <optional>
#include <string>

#include "pelk/PelkError.h"
#include "pelk/PelkTripListener.h"
#include "platform/Link.h"
#include "platform/Location.h"

// What the trip store asks of the subsystems above it, installed by the
// manager (manager/Links.cpp); an unset link does nothing.  Links are called
// with no store lock held.
namespace pelk::tripstore::links {

// LocationDataManager::sendDataServer(position, activity, false, 0,
// locationId, none): the location sink, which advances the ongoing trips.
inline constinit platform::Link<void(const platform::Location&, const std::string& activity,
                                     const std::optional<std::string>& locationId)>
    sendDataServer;
// PelkLocationDelegate::updateLocation(position, activity).  The kit leaves it
// unset: the sink above hands every position to the app already.
inline constinit platform::Link<void(const platform::Location&, const std::string& activity)> updateLocation;
// The app delegate's didReceiveTripStatus; unset (or answering nothing)
// when there is no delegate or it does not take trip statuses.
inline constinit platform::Link<void(const PelkTripStatusListener&)> didReceiveTripStatus;
// Posts a sync body to the server.  Unset: PelkAPIClient::syncTrip of the
// process's client.
using SyncReply = std::function<void(std::optional<std::string>, std::optional<PelkError>)>;
void syncWithServer(const std::string& body, SyncReply reply);
inline constinit platform::Link<void(const std::string& body, SyncReply reply)> syncTrip{&syncWithServer};

}  // namespace pelk::tripstore::links
