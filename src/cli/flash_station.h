#pragma once

// kestrel-flash --watch: a station that runs until it is told to end and flashes each unit that
// appears on the --port given (USB boot loaders, serial device nodes) once per plug-in, with one
// conversion, each unit by a child of its own (device_batch.h).

#include <vector>

namespace kestrel {

struct FlashEnvironment;
struct FlashOptions;
struct WatchTarget;

// Runs the station of `o` over `targets` (parseWatchTargets()) until the requests to end
// (FlashEnvironment::stopRequests) say so: the first takes no new units and lets the updates under
// way finish, the second interrupts them. A unit that appears (device_watcher.h) is started within
// a poll of it; one that comes back while its slot's update still runs is started when that has
// ended. Returns the exit code: 0 when every unit that appeared was updated, kExitSomeFailed when
// any was not (one seen but never started included), kExitInterrupted when the second request
// interrupted updates, and a single run's code when the station could not begin (a refused
// conversion: kExitConversion).
int flashStation(const FlashOptions& o, const std::vector<WatchTarget>& targets,
                 FlashEnvironment& env);

}  // namespace kestrel
