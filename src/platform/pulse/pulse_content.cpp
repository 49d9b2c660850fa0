// What can be captured: the server's output devices, the default one first.
#include <memory>

#include "platform/pulse/pulse_connection.h"
#include "platform/pulse/pulse_service.h"

namespace platform::pulse {
namespace {

struct ContentQuery {
  explicit ContentQuery(ContentHandler then) : handler(std::move(then)) {}

  ContentHandler handler;
  std::string defaultSink;
  std::shared_ptr<ShareableContent> content = std::make_shared<ShareableContent>();

  void fail(int code) {
    handler(nullptr, libraryError(code));
    delete this;
  }
};

void onSink(pa_context* context, const pa_sink_info* sink, int eol, void* userdata) {
  auto* query = static_cast<ContentQuery*>(userdata);
  if (eol < 0) return query->fail(pa_context_errno(context));
  if (eol > 0) {
    query->handler(std::move(query->content), std::nullopt);
    delete query;
    return;
  }
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
  pa_operation* operation = pa_context_get_sink_info_list(context, onSink, query);
  if (!operation) return query->fail(pa_context_errno(context));
  pa_operation_unref(operation);
}

}  // namespace

void getShareableContent(bool, bool, ContentHandler handler) {
  Connection& connection = Connection::shared();
  connection.whenReady([&connection, handler = std::move(handler)](std::optional<Error> error) {
    if (error) return handler(nullptr, std::move(error));
    auto* query = new ContentQuery(handler);
    pa_operation* operation = pa_context_get_server_info(connection.context(), onServerInfo, query);
    if (!operation) return query->fail(pa_context_errno(connection.context()));
    pa_operation_unref(operation);
  });
}

}  // namespace platform::pulse
