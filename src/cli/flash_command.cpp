#include "cli/flash_command.h"

#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "cli/flash_batch.h"
#include "cli/device_watcher.h"
#include "cli/flash_options.h"
#include "cli/flash_station.h"
#include "cli/flash_run.h"
#include "cli/output_sink.h"
#include "platform_api/files.h"

namespace kestrel {
namespace {

// Out of memory where nothing more can be said: the update, if one ran, has been stopped.
int outOfMemory(FlashEnvironment& env, bool json) {
  static const char kJson[] =
      "{\"event\":\"end\",\"result\":\"failed\",\"exit_code\":1,\"reason\":\"out of memory\","
      "\"cause\":\"no_memory\"}\n";
  static const char kText[] =
      "kestrel-flash: out of memory; the update was stopped where it stood (once the download "
      "had begun, the device has no working firmware until an update completes)\n";
  if (json) env.out.write(kJson);
  env.err.write(kText);
  return kExitFailure;
}

int flash(const std::vector<std::string>& args, FlashEnvironment& env) {
  FlashOptions o;
  std::string error;
  if (!parseFlashOptions(args, &o, &error)) {
    return usageError(env, o.json || asksForJson(args), error);
  }
  if (o.help) {
    env.out.write(kFlashUsage);
    return kExitOk;
  }
  if (o.version) {
    env.out.write("kestrel-flash " KESTREL_VERSION "\n");
    return kExitOk;
  }
  std::vector<WatchTarget> targets;
  if (o.watch) {
    // A station flashes units as they come: nothing to list, and nothing to try without a device.
    if (o.list || o.dryRun || o.batchChild) {
      return usageError(env, o.json,
                        std::string("--watch cannot be combined with ") +
                            (o.list ? "--list" : o.dryRun ? "--dry-run" : "--batch-child"));
    }
    if (!parseWatchTargets(o.ports, &targets, &error)) return usageError(env, o.json, error);
  } else {
    for (const std::string& name : o.ports) {
      if (!choosePort(name, &error)) return usageError(env, o.json, error);
    }
  }
  std::optional<PortChoice> port = o.watch ? PortChoice{} : choosePort(o.port, &error);
  if (!port) return usageError(env, o.json, error);
  FlashRun run(o, *port, env);
  if (o.list) return run.list();
  if (o.output && env.files.sameFile(o.file, *o.output)) {
    return usageError(env, o.json, "the image would overwrite " + o.file);
  }
  if (!o.output && env.files.sameFile(o.file, withoutExtension(env.files, o.file) + ".bin")) {
    return usageError(
        env, o.json, "the image of " + o.file + " would overwrite it: name the image with --output",
        false);
  }
  // A record that cannot be kept is known before any device is touched.
  if (FileError failed; o.log && !o.dryRun && !env.files.appendToFile(*o.log, "", &failed)) {
    return usageError(env, o.json, "--log: " + failed.text, false);
  }
  if (o.watch) return flashStation(o, targets, env);
  if (std::optional<int> code = flashBatch(o, env)) return *code;
  return o.dryRun ? run.dryRun() : run.update();
}

}  // namespace

int runFlash(const std::vector<std::string>& args, FlashEnvironment& env) {
  try {
    return flash(args, env);
  } catch (const std::bad_alloc&) {
    return outOfMemory(env, asksForJson(args));
  } catch (const std::system_error&) {
    // A thread of the program's own (not a worker's: those report their own) could not start.
    return outOfMemory(env, asksForJson(args));
  }
}

}  // namespace kestrel
