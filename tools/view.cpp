// corvane-host view: one device live in a browser, with its controls.
//
// The module's acquisition thread delivers every frame into the host's frame
// memory, as for any acquisition. A picture thread takes them all, keeps the
// newest, and encodes it as JPEG; each viewer's stream sends the newest
// picture when there is one it has not sent. So a slow viewer skips
// pictures, and nothing a viewer does reaches the acquisition thread.
//
// Viewers are admitted up to a bound and refused past it, and connections get
// threads of their own as they come (task_pool.h): however many watch, the
// page, the state and the controls answer.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include <nlohmann/json.hpp>

#include "acquisition.h"
#include "commands.h"
#include "kit.h"
#include "picture.h"
#include "session.h"
#include "support.h"
#include "task_pool.h"
#include "text.h"
#include "view_page.h"
#include "virtual_bus.h"

namespace tool {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

std::atomic<bool> interrupted{false};

extern "C" void onSignal(int) {
  interrupted = true;
}

using Jpeg = std::vector<std::uint8_t>;

// Threads beyond the viewers' for the page, the state, the controls, refused
// viewers and idle keep-alive connections (which go after a second).
constexpr std::size_t kOtherConnections = 64;

// The newest picture and what the page shows beside it.
class Pictures {
 public:
  void publish(std::shared_ptr<const Jpeg> jpeg, int width, int height, double level) {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      jpeg_ = std::move(jpeg);
      width_ = width;
      height_ = height;
      level_ = level;
      ++generation_;
    }
    changed_.notify_all();
  }

  // The newest picture once it is newer than seen; null after the wait.
  std::shared_ptr<const Jpeg> next(std::uint64_t& seen, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> hold(mutex_);
    if (!changed_.wait_for(hold, wait, [&] { return generation_ > seen || closed_; }) || closed_)
      return nullptr;
    seen = generation_;
    return jpeg_;
  }

  std::shared_ptr<const Jpeg> latest() {
    std::lock_guard<std::mutex> hold(mutex_);
    return jpeg_;
  }

  void close() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      closed_ = true;
    }
    changed_.notify_all();
  }

  json describe() {
    std::lock_guard<std::mutex> hold(mutex_);
    return {
        {"width", width_}, {"height", height_}, {"meanLevel", level_}, {"pictures", generation_}};
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::shared_ptr<const Jpeg> jpeg_;
  int width_ = 0, height_ = 0;
  double level_ = 0;
  std::uint64_t generation_ = 0;
  bool closed_ = false;
};

class LiveView {
 public:
  LiveView(host::VideoInput& input, const ViewOptions& options)
      : input_(input), pulses_(input.device().name()), maxViewers_(options.maxViewers) {
    trigger_ = options.capture.trigger.empty() ? "immediate" : options.capture.trigger;
    pulseRate_ = options.capture.pulseRate;
    reportMark_ = kit::reports().size();
  }

  // Starts the capture and the picture thread.
  bool start(std::string& error) {
    input_.settings.framesPerTrigger = 0;  // until stopped
    if (!input_.open(error) || !input_.start(error)) return false;
    if (trigger_ != "immediate") pulses_.start(pulseRate_);
    encoder_ = std::thread([this] { encode(); });
    return true;
  }

  // Stops the capture, then the picture thread; the device is closed after.
  void stop() {
    input_.stop();
    pulses_.stop();
    stopping_ = true;
    if (encoder_.joinable()) encoder_.join();
    pictures_.close();
    input_.close();
  }

  void serve(httplib::Server& server, int port) {
    port_ = port;
    const std::size_t threads = maxViewers_ + kOtherConnections;
    server.new_task_queue = [threads] { return new TaskPool(threads); };
    server.set_keep_alive_timeout(1);
    server.set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) {
          if (ownAddress(request)) return httplib::Server::HandlerResponse::Unhandled;
          response.status = 403;
          response.set_content("refused: this view answers only its own address\n", "text/plain");
          return httplib::Server::HandlerResponse::Handled;
        });
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(kViewPage, "text/html; charset=utf-8");
    });
    server.Get("/stream",
               [this](const httplib::Request&, httplib::Response& response) { stream(response); });
    server.Get("/api/viewers", [this](const httplib::Request&, httplib::Response& response) {
      reply(response, 200, viewers());
    });
    server.Get("/frame.jpg", [this](const httplib::Request&, httplib::Response& response) {
      std::shared_ptr<const Jpeg> jpeg = pictures_.latest();
      if (!jpeg) {
        response.status = 503;
        response.set_content("no picture yet\n", "text/plain");
        return;
      }
      response.set_content(reinterpret_cast<const char*>(jpeg->data()), jpeg->size(), "image/jpeg");
    });
    server.Get("/api/state", [this](const httplib::Request& request, httplib::Response& response) {
      std::size_t since = 0;
      if (request.has_param("since"))
        since = std::strtoul(request.get_param_value("since").c_str(), nullptr, 10);
      reply(response, 200, state(since));
    });
    server.Get("/api/properties", [this](const httplib::Request&, httplib::Response& response) {
      json properties = json::array();
      for (const auto& p : input_.attributes().properties) properties.push_back(describe(*p));
      reply(response, 200, {{"properties", properties}});
    });
    server.Get(R"(/api/properties/([A-Za-z0-9_]+))",
               [this](const httplib::Request& request, httplib::Response& response) {
                 const host::Property* p = declared(request.matches[1]);
                 if (p == nullptr) return reply(response, 404, {{"error", "no such property"}});
                 reply(response, 200, describe(*p));
               });
    server.Post(R"(/api/properties/([A-Za-z0-9_]+))",
                [this](const httplib::Request& request, httplib::Response& response) {
                  setProperty(request.matches[1], request.body, response);
                });
    server.Get("/api/triggers", [this](const httplib::Request&, httplib::Response& response) {
      reply(response, 200, triggers());
    });
    server.Post("/api/trigger",
                [this](const httplib::Request& request, httplib::Response& response) {
                  setTrigger(request.body, response);
                });
  }

 private:
  static void reply(httplib::Response& response, int status, const json& body) {
    response.status = status;
    response.set_content(dumpJson(body), "application/json");
  }

  // Its own address only: a page elsewhere must not drive the camera, nor a
  // name that some other host's DNS points here.
  bool ownAddress(const httplib::Request& request) const {
    // Browsers leave out port 80, HTTP's own.
    const std::string port = port_ == 80 ? "" : ":" + std::to_string(port_);
    const std::string host = request.get_header_value("Host");
    if (host != "127.0.0.1" + port && host != "localhost" + port) return false;
    if (!request.has_header("Origin")) return true;
    const std::string origin = request.get_header_value("Origin");
    return origin == "http://127.0.0.1" + port || origin == "http://localhost" + port;
  }

  // Takes every frame the module delivered and keeps the newest as a picture.
  void encode() {
    host::Frame frame, newer;
    host::Picture picture;
    while (!stopping_) {
      if (!input_.engine().takeFrame(frame, 0.05)) continue;
      noteFrame(frame);
      while (input_.engine().takeFrame(newer, 0)) {
        std::swap(frame, newer);
        noteFrame(frame);
      }
      if (!host::decode(frame, picture)) continue;
      auto jpeg = std::make_shared<Jpeg>();
      if (!host::encodeJpeg(picture, 85, *jpeg)) continue;
      double sum = 0;
      for (std::uint8_t v : picture.rgb) sum += v;
      pictures_.publish(std::move(jpeg), picture.width, picture.height,
                        picture.rgb.empty() ? 0.0 : sum / static_cast<double>(picture.rgb.size()));
    }
  }

  void noteFrame(const host::Frame& frame) {
    std::lock_guard<std::mutex> hold(statsMutex_);
    times_.push_back(frame.time);
    while (times_.size() > 30) times_.pop_front();
    lastTime_ = frame.time;
  }

  json viewers() const { return {{"viewers", viewers_.load()}, {"maxViewers", maxViewers_}}; }

  // multipart/x-mixed-replace: each part the newest picture not yet sent.
  // Past the bound a viewer is refused at once, and its connection closed.
  void stream(httplib::Response& response) {
    response.set_header("Cache-Control", "no-store");
    if (viewers_.fetch_add(1) >= static_cast<int>(maxViewers_)) {
      --viewers_;
      response.status = 503;
      response.set_header("Connection", "close");
      response.set_content("refused: " + std::to_string(maxViewers_) +
                               " viewers watch already, as many as this view serves; try again "
                               "when one leaves\n",
                           "text/plain");
      return;
    }
    auto seen = std::make_shared<std::uint64_t>(0);
    response.set_chunked_content_provider(
        "multipart/x-mixed-replace; boundary=corvanepicture",
        [this, seen](std::size_t, httplib::DataSink& sink) {
          std::shared_ptr<const Jpeg> jpeg = pictures_.next(*seen, std::chrono::milliseconds(500));
          if (!jpeg) return !stopping_ && sink.is_writable();  // no picture yet: still there?
          const std::string head =
              "--corvanepicture\r\nContent-Type: image/jpeg\r\nContent-Length: " +
              std::to_string(jpeg->size()) + "\r\n\r\n";
          return sink.write(head.data(), head.size()) &&
                 sink.write(reinterpret_cast<const char*>(jpeg->data()), jpeg->size()) &&
                 sink.write("\r\n", 2);
        },
        // However the stream ends, its place is free.
        [this](bool) { --viewers_; });
  }

  json state(std::size_t since) {
    json s = pictures_.describe();
    {
      std::lock_guard<std::mutex> hold(statsMutex_);
      s["fps"] = times_.size() > 1 && times_.back() > times_.front()
                     ? static_cast<double>(times_.size() - 1) / (times_.back() - times_.front())
                     : 0.0;
      s["lastTime"] = lastTime_;
    }
    s.update(viewers());
    s["device"] = input_.device().name();
    s["format"] = input_.format().name();
    s["delivered"] = input_.engine().framesDelivered();
    s["counted"] = input_.manager().framesCounted();
    const std::vector<kit::Report> reports = kit::reports();
    json warnings = json::array();
    const std::size_t total = reports.size() > reportMark_ ? reports.size() - reportMark_ : 0;
    for (std::size_t i = reportMark_ + std::min(since, total); i < reports.size(); ++i)
      warnings.push_back(reports[i].source + ": " + reports[i].message);
    s["warnings"] = warnings;
    s["warningCount"] = total;
    return s;
  }

  const host::Property* declared(const std::string& name) const {
    for (const auto& p : input_.attributes().properties)
      if (p->name() == name) return p.get();
    return nullptr;
  }

  // A property with its current value, read through the module.
  json describe(const host::Property& declared) {
    host::PropertyValue value;
    std::string error;
    const bool read = input_.properties().read(declared.name(), value, error);
    return propertyJson(declared, read ? &value : nullptr);
  }

  void setProperty(const std::string& name, const std::string& body, httplib::Response& response) {
    const json request = json::parse(body, nullptr, false);
    // A value as text, or as the number it is.
    if (request.is_object() && request.contains("value") && request["value"].is_number())
      return setProperty(name, dumpJson(json{{"value", request["value"].dump()}}), response);
    if (!request.is_object() || !request.contains("value") || !request["value"].is_string())
      return reply(response, 400, {{"ok", false}, {"error", "send {\"value\": \"...\"}"}});
    const host::Property* p = declared(name);
    if (p == nullptr)
      return reply(response, 404, {{"ok", false}, {"error", "no property " + name}});
    std::string error;
    // The host's container checks the value, stores it and tells the module.
    if (!input_.properties().write(name, request["value"].get<std::string>(), error))
      return reply(response, 400, {{"ok", false}, {"error", error}});
    reply(response, 200, {{"ok", true}, {"value", describe(*p)["value"]}});
  }

  json triggers() {
    std::lock_guard<std::mutex> hold(controlMutex_);
    json list = json::array();
    for (const host::TriggerConfiguration& t : input_.attributes().triggers)
      list.push_back(t.configuration + "/" + t.source);
    return {{"triggers", list}, {"current", trigger_}, {"pulseRate", pulseRate_}};
  }

  // A trigger takes effect when capture starts: the capture restarts with it.
  void setTrigger(const std::string& body, httplib::Response& response) {
    const json request = json::parse(body, nullptr, false);
    if (!request.is_object() || !request.contains("trigger") || !request["trigger"].is_string())
      return reply(response, 400, {{"ok", false}, {"error", "send {\"trigger\": \"...\"}"}});
    const std::string trigger = request["trigger"].get<std::string>();
    double rate = pulseRate_;
    if (request.contains("pulseRate") && request["pulseRate"].is_number())
      rate = request["pulseRate"].get<double>();
    if (!(rate > 0 && rate <= 10000))
      return reply(response, 400,
                   {{"ok", false}, {"error", "pulses take a rate in hertz above 0"}});
    std::lock_guard<std::mutex> hold(controlMutex_);
    std::string error;
    input_.stop();
    pulses_.stop();
    bool ok = true;
    if (trigger == "immediate") {
      input_.engine().trigger().type = host::kImmediateTrigger;
    } else {
      ok = selectTrigger(input_, trigger, error);
    }
    if (ok) {
      trigger_ = trigger;
      pulseRate_ = rate;
    }
    // Capture goes on, with the new trigger or the old one.
    std::string startError;
    if (!input_.start(startError) && ok) {
      ok = false;
      error = startError;
    }
    if (trigger_ != "immediate") pulses_.start(pulseRate_);
    if (!ok) return reply(response, 400, {{"ok", false}, {"error", error}, {"current", trigger_}});
    reply(response, 200, {{"ok", true}, {"current", trigger_}});
  }

  host::VideoInput& input_;
  Pulses pulses_;
  const std::size_t maxViewers_;
  std::atomic<int> viewers_{0};
  int port_ = 0;
  std::string trigger_;
  double pulseRate_ = 10.0;
  std::size_t reportMark_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread encoder_;
  Pictures pictures_;
  std::mutex statsMutex_;
  std::deque<double> times_;
  double lastTime_ = 0;
  std::mutex controlMutex_;
};

}  // namespace

// The reason the system gave for the last socket call that failed.
std::string socketError() {
#if defined(_WIN32)
  const int code = WSAGetLastError();
  if (code == WSAEADDRINUSE) return "Address already in use";
  // What a port another socket holds for exclusive use answers.
  if (code == WSAEACCES) return "Address already in use, or not this program's to use";
  return "Windows socket error " + std::to_string(code);
#else
  return std::strerror(errno);
#endif
}

int view(const Common& common, const ViewOptions& options) {
  std::string error;
  const kit::Accounting before = kit::accounting();
  int status = 0;
  // A Ctrl+C ends the view in order whenever it comes: during the start, it
  // ends as soon as the view is up.
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  {
    if (const int refused = startsBusLibrary()) return refused;
    host::Session session;
    if (!session.start(common.module, error)) return fail(error);
    session.discover();
    std::unique_ptr<host::VideoInput> input = makeInput(session, options.capture, error);
    if (!input) return fail("view: " + error);

    httplib::Server server;
#if !defined(_WIN32)
    // Not SO_REUSEPORT, the library's choice: a port another view holds is refused,
    // not shared. SO_REUSEADDR lets a port just given up be taken again.
    server.set_socket_options([](socket_t sock) {
      int yes = 1;
      setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<void*>(&yes), sizeof yes);
    });
#endif
    const int port = options.port == 0 ? server.bind_to_any_port("127.0.0.1")
                                       : (server.bind_to_port("127.0.0.1", options.port)
                                              ? static_cast<int>(options.port)
                                              : -1);
    if (port <= 0)
      return fail("view: cannot listen on 127.0.0.1:" + std::to_string(options.port) + ": " +
                  socketError());
    LiveView live(*input, options);
    const std::size_t mark = kit::reports().size();
    if (!live.start(error)) {
      live.stop();
      return fail("view: " + error);
    }
    // The page shows no picture then; the user is told why, once.
    if (const std::string why = startFailure(*input, mark); !why.empty())
      std::fprintf(stderr, "corvane-host: view: %s\n", why.c_str());
    live.serve(server, port);
    std::atomic<bool> listened{false};
    std::thread listener([&server, &listened] {
      server.listen_after_bind();
      listened = true;
    });
    std::printf("%s, %s: live at http://127.0.0.1:%d/ (Ctrl+C ends)\n",
                input->device().name().c_str(), input->format().name().c_str(), port);
    std::fflush(stdout);
    while (!interrupted) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // The server's stop does nothing before its loop has begun, which would
    // then run for ever: an end that comes early waits for the loop first.
    while (!server.is_running() && !listened)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server.stop();
    listener.join();
    live.stop();
    const std::uint64_t counted = input->manager().framesCounted();
    const std::uint64_t delivered = input->engine().framesDelivered();
    input.reset();
    session.stop();
    std::printf("stopped: %llu frames counted, %llu delivered\n",
                static_cast<unsigned long long>(counted),
                static_cast<unsigned long long>(delivered));
  }
  // Everything released in the module's order: nothing may be left.
  // The bus's own books, where the library is the virtual bus.
  const kit::Accounting after = kit::accounting();
  const host::VirtualBus& bus = host::VirtualBus::find();
  const CorvaneBusResources left = bus.present() ? bus.resources() : CorvaneBusResources{};
  if (after.liveBlocks != before.liveBlocks || after.liveSections != before.liveSections ||
      left.openHandles != 0 || left.engines != 0 || left.runningCameras != 0 ||
      left.reservedChannels != 0) {
    std::fprintf(stderr,
                 "corvane-host: view: the module left %zu blocks, %zu locks, %u handles, "
                 "%u engines, %u running cameras behind\n",
                 after.liveBlocks - before.liveBlocks, after.liveSections - before.liveSections,
                 left.openHandles, left.engines, left.runningCameras);
    status = 1;
  } else {
    std::printf("closed; the module left nothing behind\n");
  }
  return status;
}

}  // namespace tool
