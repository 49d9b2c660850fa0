#pragma once

#include "platform/capture_service.h"

namespace platform::pulse {

void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                         ContentHandler handler);
std::shared_ptr<Stream> makeStream(const ContentFilter& filter,
                                   const StreamConfiguration& configuration,
                                   std::weak_ptr<StreamDelegate> delegate);

}  // namespace platform::pulse
