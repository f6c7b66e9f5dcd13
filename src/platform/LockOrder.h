#pragma once

// The order of the kit's locks (a header of comments only; it is here, in the
// lowest layer, so that every layer can point at it).
//
// A thread holding a lock may take only locks further down this list; two
// locks of one line are never held together.  A wait for another thread (a
// join, a sync onto a queue, a condition) counts as taking the locks that
// thread may hold.  Whoever adds a lock puts it on this list and says so where
// it is declared.
//
//  1. PelkManager::initMutex_ (start-up registration): takes observers,
//     PelkManager::mutex_ and starts the reachability monitor (11).
//  2. PelkManager::startMutex_, then 3. PelkManager::switchMutex_: each takes
//     the settings (13) and PelkManager::mutex_.
//  4. Locks held across a read-then-write of the settings (13): the followed
//     users (manager), the trip-status subscription (manager), the publishing
//     choice (messaging), the MQTT values fixed at first use (messaging), the
//     REST base URL (network) and the location permission answer (tracking:
//     it also puts the answer in force, taking 7 and 8).  They may log (15).
//  5. MQTTManager::mutex_: takes the MQTT client's state lock (10).
//  6. The tracking modes' locks (BaseCLManager, PelkCustomTracking,
//     GeofencedMode, PelkRequestLocation, PelkTimeBasedLocationManager): take
//     the location engine's lock (8) when they make or drop a LocationManager.
//  7. LocationServices' provider lock: starts and stops a provider and takes
//     the gpsd provider's lock (which takes only the main queue's lock, to
//     post its reports) and the engine's lock (8).  A stopped gpsd reader is
//     woken and joined later, never waited for under this lock.
//  8. The location engine's lock.
//  9. PelkHTTPDataStorageManager::mutex_: opens its container (12).
// 10. MqttClient::State::mutex: waits for the users of the Paho handle, who
//     hold no lock of ours while they call Paho.  The MQTT client's handle
//     lock (one per process, around making, destroying and asking a Paho
//     handle that may be going) is taken with no lock of ours held and takes
//     only the MQTT handle registry (16); Paho's threads, which call us back,
//     never take it.
// 11. Reachability::startStopMutex_ (network): takes the platform watch's
//     locks, which post onto a queue (16).
// 12. The registries of settings suites and of database files, in that order.
// 13. SettingsSuite::mutex_ (one per settings file), then
// 14. Database::mutex_ (one per SQLite file; SQLite's own file locks under it).
//     A settings transaction or a store's database body runs with these held
//     and may take only what follows: neither reaches the other.
// 15. The log's own lock (LoggerManager): only the log file and the records
//     waiting for the settings are touched under it, so a line may be logged
//     with any lock above held, from inside a settings transaction too.  The
//     records are written later, settings first (13), then this lock.
// 15a. The settlement of the kit's folders (Paths): decided once, under it,
//     from the app info (16) and the file system; its console line is printed
//     after it is released.
// 16. Leaves, under which nothing else is taken and nothing is called out
//     (handlers, links, tasks and the delegate run after they are released):
//     the stored credentials' memory (TokenManager), the settings gateway's
//     suite slot (SharedUtil), the id counter, the links of every layer and their registry (Link),
//     the delegate slot (PelkLocationDelegate), PelkManager::mutex_, the trip store's and the
//     reachability monitor's state, the token-renewal waiters, the MQTT
//     ticket and handle registries, the dispatch queues' and timers' state,
//     the notification center, the trip store's count of running sync
//     retries, the record of the last fix sent (tracking), the HTTP session,
//     the device readings and kept identifier, the app info, paths and
//     console, the application's background tasks, the location services'
//     test controls, the counters of the SQLite file layer (CountedFiles)
//     and the gpsd readers' turn at libgps's report parser.
//
// The console's lock is a leaf: a line is queued under it and the host's
// console handler is called later, on the console's own thread, with no lock
// of the kit held (so that handler may call the kit).  Choosing another
// destination waits for that handler to return; only the host does that,
// never the kit, and never under a lock of the kit.
