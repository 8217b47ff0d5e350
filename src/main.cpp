#include <fstream>
#include <memory>
#include <string>

#include "application.h"
#include "config.h"
#include "core/core.h"
#include "core/get_config_file_name.h"
#include "core/logger.h"
#include "core/pid_file.h"
#include "generated/version.h"

int main(int argc, char** argv) {
  using namespace kavo;
  libs::core::logger logger(std::string(kavo::constants::project_name), "main");

  // Everything else runs inside the guard: whatever fails is logged, the
  // objects made so far are destroyed in reverse order, and we exit with 0.
  logger.execute([&] {
    const std::string config_file_name = libs::core::get_config_file_name(argc, argv);
    std::ifstream config_stream(config_file_name, std::ios::in);
    const svel::config configuration(config_stream);

    logger.connect(configuration.system.debug_endpoint);
    logger.set_debug(configuration.debug.logger_debug);

    const auto core = libs::core::core::create(logger);
    auto events_loop = core->create_events_loop("main loop");

    libs::core::detail::check_pid(configuration.system.pidfile);
    libs::core::detail::write_pid(configuration.system.pidfile);

    auto signals = events_loop->stop_on_signals();
    auto application = std::make_unique<svel::application>(*core, *events_loop, configuration, logger);

    {
      // Only a stop signal ends the service, whatever work its components have pending.
      const auto work = events_loop->create_work();
      events_loop->run_catch_exceptions(CORE_LOCATION);
    }
    logger.info("exit").location(CORE_LOCATION);

    application.reset();
    signals.reset();
    events_loop.reset();
  });
  return 0;
}
