// What can be captured on a PulseAudio (or PipeWire's PulseAudio-compatible) sound server: its
// output devices, the default one first.
#include <memory>

#include "platform/capture_service.h"
#include "platform/pulse/connection/pulse_connection.h"

namespace platform::pulse {
namespace {

// One query, from the server's settings to the last output, answered exactly once. A connection
// that dies meanwhile cancels the request without calling it back: the cancellation is watched, so
// that the query fails then instead of never ending.
struct ContentQuery {
  ContentQuery(pa_context* server, ContentHandler then)
      : context(server), handler(std::move(then)) {}

  pa_context* context;
  ContentHandler handler;
  std::string defaultSink;
  std::shared_ptr<ShareableContent> content = std::make_shared<ShareableContent>();
  pa_operation* pending = nullptr;

  // Takes over the request just made; false (having failed) if it could not be made.
  bool await(pa_context* context, pa_operation* operation) {
    release();
    if (!operation) {
      fail(pa_context_errno(context));
      return false;
    }
    pending = operation;
    pa_operation_set_state_callback(operation, onOperationState, this);
    return true;
  }

  void release() {
    if (!pending) return;
    pa_operation_set_state_callback(pending, nullptr, nullptr);
    pa_operation_unref(pending);
    pending = nullptr;
  }

  void finish(std::shared_ptr<ShareableContent> result, std::optional<Error> error) {
    release();
    handler(std::move(result), std::move(error));
    delete this;
  }

  void fail(int code) { finish(nullptr, libraryError(code)); }

  static void onOperationState(pa_operation* operation, void* userdata) {
    if (pa_operation_get_state(operation) != PA_OPERATION_CANCELLED) return;
    auto* query = static_cast<ContentQuery*>(userdata);
    const int code = pa_context_errno(query->context);
    query->fail(code ? code : PA_ERR_CONNECTIONTERMINATED);
  }
};

void onSink(pa_context* context, const pa_sink_info* sink, int eol, void* userdata) {
  auto* query = static_cast<ContentQuery*>(userdata);
  if (eol < 0) return query->fail(pa_context_errno(context));
  if (eol > 0) return query->finish(std::move(query->content), std::nullopt);
  Display display{sink->index, sink->name ? sink->name : "",
                  sink->description ? sink->description : "",
                  sink->monitor_source_name ? sink->monitor_source_name : ""};
  auto& displays = query->content->displays;
  if (display.name == query->defaultSink) {
    displays.insert(displays.begin(), std::move(display));
  } else {
    displays.push_back(std::move(display));
  }
}

void onServerInfo(pa_context* context, const pa_server_info* info, void* userdata) {
  auto* query = static_cast<ContentQuery*>(userdata);
  if (!info) return query->fail(pa_context_errno(context));
  if (info->default_sink_name) query->defaultSink = info->default_sink_name;
  query->await(context, pa_context_get_sink_info_list(context, onSink, query));
}

}  // namespace
}  // namespace platform::pulse

namespace platform {

void getShareableContent(bool, bool, ContentHandler handler) {
  using namespace pulse;
  Connection& connection = Connection::shared();
  connection.whenReady([&connection, handler = std::move(handler)](std::optional<Error> error) {
    if (error) return handler(nullptr, std::move(error));
    pa_context* context = connection.context();
    auto* query = new ContentQuery(context, handler);
    query->await(context, pa_context_get_server_info(context, onServerInfo, query));
  });
}

}  // namespace platform
