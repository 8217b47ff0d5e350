// Decoded "raw_msg" reports per second, end to end on one loop thread: frames
// from a PUB socket, through a real message stream and the messenger, to a slot.
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/format.hpp>
#include <zmq.hpp>

#include "core/core.h"
#include "core/events_loop.h"
#include "core/logger.h"
#include "core/zmq/socket.h"
#include "zan_messenger_impl.h"

namespace kavo::svel {
namespace {

using namespace std::chrono_literals;
namespace core = libs::core;

constexpr auto give_up_after = 30s;

core::logger& bench_logger() {
  static core::logger logger("svel_bench", "messaging");
  return logger;
}

// Reports of many anchors, so no two frames in a row are alike.
std::vector<std::string> make_frames() {
  std::vector<std::string> frames;
  for (unsigned i = 0; i < 256; ++i) {
    frames.push_back(
        (boost::format(R"(#raw_msg {"cmd":"0042","mac":"A1B2C3D4E5%02X","ts":%u,"ms":%u,"data":"%04X%04X%02X"})") % i %
         (1700000000 + i) % (i * 7 % 1000) % (i + 1) % (0x100 + i) % (255 - i))
            .str());
  }
  return frames;
}

class messaging_rig {
 public:
  messaging_rig() : m_directory(make_directory()) {
    const std::string notifications = "ipc://" + m_directory + "/notifications";
    // Unbounded: a publisher that outruns the loop must queue, never drop.
    m_publisher.set(::zmq::sockopt::sndhwm, 0);
    m_publisher.set(::zmq::sockopt::linger, 0);
    m_publisher.bind(notifications);
    m_stream = m_loop->create_zmq_message_stream(notifications);
    m_output = m_loop->get_zmq().connect(core::zmq::socket::type::push, "ipc://" + m_directory + "/zan");
    m_messenger = std::make_unique<zan_messenger_impl>(*m_stream, *m_output, *m_zan_logger);
    m_messenger->do_on_receive_nbr_multicast_report([this](zan_messenger::multicast_report& _report) {
      m_lqi_sum += _report.lqi;
      if (++m_received == m_target) {
        m_loop->stop();
      }
    });
  }

  ~messaging_rig() {
    m_messenger.reset();
    m_output.reset();
    m_stream.reset();
    m_publisher.close();
    std::error_code ignored;
    std::filesystem::remove_all(m_directory, ignored);
  }

  // A SUB socket joins late: probes go out until one gets through.
  bool join() {
    bool joined = false;
    const auto probe = m_stream->subscribe("probe", [&](boost::string_view) {
      joined = true;
      m_loop->stop();
    });
    const auto prober =
        m_loop->create_periodic_timer(2ms, "probe", [this](core::timer::time_point) { publish("#probe {}"); });
    return run() && joined;
  }

  void publish(const std::string& _frame) { (void)m_publisher.send(::zmq::buffer(_frame), ::zmq::send_flags::none); }

  void publish_batch(int _count) {
    for (int i = 0; i < _count; ++i) {
      publish(m_frames[static_cast<std::size_t>(i) % m_frames.size()]);
    }
  }

  // Runs the loop until the slot has seen _count more reports.
  bool consume(int _count) {
    m_target = m_received + _count;
    return run();
  }

  unsigned long lqi_sum() const { return m_lqi_sum; }

 private:
  static std::string make_directory() {
    char directory[] = "/tmp/svel-bench-XXXXXX";
    if (mkdtemp(directory) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    return directory;
  }

  // False when the watchdog had to end the run.
  bool run() {
    bool timed_out = false;
    const auto watchdog = m_loop->create_timer(std::chrono::steady_clock::now() + give_up_after, "watchdog",
                                               [&](core::timer::time_point) {
                                                 timed_out = true;
                                                 m_loop->stop();
                                               });
    m_loop->get_io_context().restart();
    m_loop->run();
    return !timed_out;
  }

  std::string m_directory;
  std::vector<std::string> m_frames = make_frames();
  core::component_logger::ptr m_zan_logger = bench_logger().component("zan");
  core::core::ptr m_core = core::core::create(bench_logger());
  core::events_loop::ptr m_loop = m_core->create_events_loop("bench");
  ::zmq::context_t m_context;
  ::zmq::socket_t m_publisher{m_context, ::zmq::socket_type::pub};
  core::message_stream::ptr m_stream;
  core::zmq::socket::ptr m_output;
  std::unique_ptr<zan_messenger_impl> m_messenger;
  long m_received = 0;
  long m_target = -1;
  unsigned long m_lqi_sum = 0;
};

// The batch is queued before the clock runs; ZeroMQ's I/O threads still move
// it to the loop while it is timed.
void raw_msg_reports_prequeued(benchmark::State& _state) {
  const auto batch = static_cast<int>(_state.range(0));
  messaging_rig rig;
  if (!rig.join()) {
    _state.SkipWithError("the stream never joined");
    return;
  }
  for (auto _ : _state) {
    _state.PauseTiming();
    rig.publish_batch(batch);
    _state.ResumeTiming();
    if (!rig.consume(batch)) {
      _state.SkipWithError("reports were lost");
      break;
    }
  }
  benchmark::DoNotOptimize(rig.lqi_sum());
  _state.SetItemsProcessed(_state.iterations() * batch);
}

// A publisher thread sends while the loop consumes, as another process would.
void raw_msg_reports_from_publisher_thread(benchmark::State& _state) {
  const auto batch = static_cast<int>(_state.range(0));
  messaging_rig rig;
  if (!rig.join()) {
    _state.SkipWithError("the stream never joined");
    return;
  }
  for (auto _ : _state) {
    std::thread publisher([&rig, batch] { rig.publish_batch(batch); });
    const bool complete = rig.consume(batch);
    publisher.join();
    if (!complete) {
      _state.SkipWithError("reports were lost");
      break;
    }
  }
  benchmark::DoNotOptimize(rig.lqi_sum());
  _state.SetItemsProcessed(_state.iterations() * batch);
}

BENCHMARK(raw_msg_reports_prequeued)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(raw_msg_reports_from_publisher_thread)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace kavo::svel

BENCHMARK_MAIN();
