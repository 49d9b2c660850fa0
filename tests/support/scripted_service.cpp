#include "scripted_service.h"

namespace scripted {
namespace {

// Never destroyed: the tool exits while other threads may still use them.
Script& current = *new Script;
std::shared_ptr<ScriptedStream>& newest = *new std::shared_ptr<ScriptedStream>;

void getContent(bool, bool, platform::ContentHandler handler) {
  auto content = std::make_shared<platform::ShareableContent>();
  content->displays = current.displays;
  handler(content, std::nullopt);
}

std::shared_ptr<platform::Stream> makeStream(const platform::ContentFilter& filter,
                                             const platform::StreamConfiguration& configuration,
                                             std::weak_ptr<platform::StreamDelegate> delegate) {
  return newest = std::make_shared<ScriptedStream>(filter, configuration, std::move(delegate));
}

}  // namespace

Script& script() {
  return current;
}

void reset() {
  current = Script{};
  newest.reset();
}

std::shared_ptr<ScriptedStream> lastStream() {
  return newest;
}

}  // namespace scripted

namespace platform {

void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                         ContentHandler handler) {
  scripted::getContent(excludeDesktopWindows, onScreenWindowsOnly, std::move(handler));
}

std::shared_ptr<Stream> Stream::make(const ContentFilter& filter,
                                     const StreamConfiguration& configuration,
                                     std::weak_ptr<StreamDelegate> delegate) {
  return scripted::makeStream(filter, configuration, std::move(delegate));
}

}  // namespace platform
