#include "platform/pulse/monitor/record_stream.h"

#include <cstring>

#include <cstdlib>
#include "platform/pulse/connection/paced_loop.h"

namespace platform::pulse {
namespace {

// How much audio the server keeps for the capture before it drops some: far more than collects
// between two reads, so that a busy machine loses nothing either, nor a process held still for
// seconds (stopped, swapped out, in a debugger). Past it, PipeWire's server drops nearly all it
// kept: a tool stopped for 4.5 s with 4 s of room lost the 4.3 s before it went on. The room costs
// nothing until it is used: PipeWire's server took as much memory for a stream with 4 s.
constexpr double kBufferSeconds = 10.0;

// `pieceSeconds`: the most audio the server holds back before it sends it, which a stop cannot take
// with it.
pa_buffer_attr bufferAttributes(const pa_sample_spec& format, double pieceSeconds) {
  pa_buffer_attr attributes;
  std::memset(&attributes, 0xff, sizeof attributes);  // server defaults, but for:
  attributes.fragsize =
      static_cast<uint32_t>(pa_usec_to_bytes(static_cast<pa_usec_t>(pieceSeconds * 1e6), &format));
  // Room for what collects between two relaxed reads, many times over: a server whose buffer
  // overflows drops audio (PipeWire's default room is smaller than PulseAudio's).
  attributes.maxlength = static_cast<uint32_t>(
      pa_usec_to_bytes(static_cast<pa_usec_t>(kBufferSeconds * 1e6), &format));
  return attributes;
}

}  // namespace

RecordStream::RecordStream(pa_context* context, const StreamBasicDescription& frames,
                           Handlers handlers, double pieceSeconds)
    : frames_(frames), handlers_(std::move(handlers)), pieceSeconds_(pieceSeconds) {
  const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(frames.sampleRate),
                                  static_cast<uint8_t>(frames.channelsPerFrame)};
  if (!pa_sample_spec_valid(&sampleSpec)) {
    madeError_ = PA_ERR_INVALID;
    return;
  }
  pa_channel_map map;
  pa_channel_map_init_extend(&map, sampleSpec.channels, PA_CHANNEL_MAP_DEFAULT);
  stream_ = pa_stream_new(context, "System audio", &sampleSpec, &map);
  if (!stream_) {
    madeError_ = pa_context_errno(context);
    return;
  }
  pa_stream_set_state_callback(stream_, onState, this);
  pa_stream_set_read_callback(stream_, onRead, this);
  pa_stream_set_moved_callback(stream_, onMoved, this);
}

RecordStream::~RecordStream() {
  if (timingAsked_) {
    if (pa_operation_get_state(timingAsked_) == PA_OPERATION_RUNNING)
      pa_operation_cancel(timingAsked_);
    pa_operation_unref(timingAsked_);
  }
  if (!stream_) return;
  pa_stream_set_read_callback(stream_, nullptr, nullptr);
  pa_stream_set_moved_callback(stream_, nullptr, nullptr);
  if (pa_stream_get_state(stream_) == PA_STREAM_CREATING) {
    // The library cannot end a stream that the server has not yet confirmed, and one merely let go
    // of would go on recording on the server: it is ended once it runs.
    pa_stream_set_state_callback(stream_, endOnceRunning, nullptr);
    return;
  }
  pa_stream_set_state_callback(stream_, nullptr, nullptr);
  if (pa_stream_get_state(stream_) == PA_STREAM_READY) pa_stream_disconnect(stream_);
  pa_stream_unref(stream_);
}

void RecordStream::endOnceRunning(pa_stream* stream, void*) {
  switch (pa_stream_get_state(stream)) {
    case PA_STREAM_READY:
      pa_stream_disconnect(stream);  // terminated next
      break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
      pa_stream_set_state_callback(stream, nullptr, nullptr);
      pa_stream_unref(stream);
      break;
    default:
      break;
  }
}

int RecordStream::connect(const std::string& source, uint32_t attachedTo) {
  if (!stream_) return madeError_;
  if (attachedTo != PA_INVALID_INDEX && pa_stream_set_monitor_stream(stream_, attachedTo) < 0) {
    return pa_context_errno(pa_stream_get_context(stream_));
  }
  const pa_buffer_attr attributes =
      bufferAttributes(*pa_stream_get_sample_spec(stream_), pieceSeconds_);
  connectedPiece_ = pieceSeconds_;
  // A monitor records all its output plays; the stream must never wander to another source.
  auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
  // One channel is mixed here from the output's own (see Downmix): the server keeps them as they
  // are, in whatever layout the output has. Both servers honour this; the rate is still theirs to
  // convert.
  if (frames_.channelsPerFrame == 1) {
    flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_FIX_CHANNELS);
  }
  if (pa_stream_connect_record(stream_, source.c_str(), &attributes, flags) < 0) {
    return pa_context_errno(pa_stream_get_context(stream_));
  }
  return 0;
}

bool RecordStream::running() const {
  return stream_ && pa_stream_get_state(stream_) == PA_STREAM_READY;
}

void RecordStream::setCorked(bool corked) {
  if (corked_ == corked || !running()) return;
  corked_ = corked;
  if (pa_operation* operation = pa_stream_cork(stream_, corked_, nullptr, nullptr)) {
    pa_operation_unref(operation);
  }
  if (corked) return;
  uncorkedAt_ = secondsNow();
  if (timingAsked_ && pa_operation_get_state(timingAsked_) == PA_OPERATION_RUNNING) {
    pa_operation_cancel(timingAsked_);  // its answer would tell of the stream corked
  }
  askTiming(0);
}

void RecordStream::setPiece(double seconds) {
  if (seconds == pieceSeconds_) return;
  pieceSeconds_ = seconds;
  if (!running()) return;  // asked for when it runs
  const pa_buffer_attr attributes = bufferAttributes(*pa_stream_get_sample_spec(stream_), seconds);
  if (pa_operation* operation = pa_stream_set_buffer_attr(stream_, &attributes, nullptr, nullptr)) {
    pa_operation_unref(operation);
  }
}

void RecordStream::read() {
  if (stream_) onRead(stream_, 0, this);
}

pa_operation* RecordStream::updateTiming(pa_stream_success_cb_t callback, void* userdata) {
  return running() ? pa_stream_update_timing_info(stream_, callback, userdata) : nullptr;
}

void RecordStream::askTiming(double sinceSeconds) {
  if (timingAsked_ && pa_operation_get_state(timingAsked_) == PA_OPERATION_RUNNING) return;
  const double now = secondsNow();
  if (timingAsked_ && now - timingAskedAt_ < sinceSeconds) return;
  if (timingAsked_) pa_operation_unref(timingAsked_);
  timingAsked_ = updateTiming(onTiming, this);
  timingAskedAt_ = now;
}

void RecordStream::onTiming(pa_stream* stream, int success, void* self) {
  auto* record = static_cast<RecordStream*>(self);
  const pa_timing_info* info = success ? pa_stream_get_timing_info(stream) : nullptr;
  if (!info || info->write_index_corrupt || info->write_index < 0) return;
  const pa_sample_spec* format = pa_stream_get_sample_spec(stream);
  // The newest frame the server has written to the stream was rendered `sink_usec` ahead of its
  // sounding and has waited `source_usec` in the source since.
  const double written =
      static_cast<double>(pa_bytes_to_usec(static_cast<uint64_t>(info->write_index), format));
  const double timestamp = static_cast<double>(info->timestamp.tv_sec) * 1e6 +
                           static_cast<double>(info->timestamp.tv_usec);
  // PipeWire's server, its room full, drops what was not read and counts it as read: the frames
  // collected since come that much later in its count than in ours.
  double skippedSeconds = 0;
  if (!info->read_index_corrupt) {
    const int64_t read = info->read_index / static_cast<int64_t>(pa_frame_size(format));
    const int64_t skipped = read - static_cast<int64_t>(record->collectedFrames());
    if (skipped > 0) skippedSeconds = static_cast<double>(skipped) / format->rate;
  }
  const double zeroSoundedUsec = timestamp - written - static_cast<double>(info->source_usec) +
                                 static_cast<double>(info->sink_usec);
  record->frameZeroSeconds_ = zeroSoundedUsec / 1e6 + skippedSeconds;
  record->lastTimingAskedAt_ = record->timingAskedAt_;
  ++record->timings_;
}

void RecordStream::disconnect() {
  if (running()) pa_stream_disconnect(stream_);
}

void RecordStream::onState(pa_stream* stream, void* self) {
  auto* record = static_cast<RecordStream*>(self);
  switch (pa_stream_get_state(stream)) {
    case PA_STREAM_READY:
      record->takeLayout();  // each stream's: an output moved to may have another
      record->handlers_.ready();
      break;
    case PA_STREAM_FAILED:
      record->handlers_.failed(pa_context_errno(pa_stream_get_context(stream)));
      break;
    case PA_STREAM_TERMINATED:
      record->handlers_.terminated();
      break;
    default:
      break;
  }
}

void RecordStream::onRead(pa_stream* stream, size_t, void* self) {
  auto* record = static_cast<RecordStream*>(self);
  const void* data;
  size_t length;
  while (pa_stream_peek(stream, &data, &length) == 0 && length > 0) {
    // Copied out of the library's buffer and mixed to the recording's channels in one pass.
    if (record->collecting_) {
      const size_t before = record->collected_.size();
      record->downmix_.append(data, length, record->collected_);
      record->collectedBytes_ += record->collected_.size() - before;
    }
    pa_stream_drop(stream);
  }
}

void RecordStream::onMoved(pa_stream*, void* self) {
  static_cast<RecordStream*>(self)->handlers_.moved();
}

void RecordStream::takeLayout() {
  const pa_sample_spec& format = *pa_stream_get_sample_spec(stream_);
  downmix_.setLayout(format.channels, frames_.channelsPerFrame);
  if (format.channels == frames_.channelsPerFrame && pieceSeconds_ == connectedPiece_) return;
  // The buffer's sizes were asked for in bytes of the frames asked for, and the servers take them
  // as bytes of the stream's own: a stereo stream would hold half the time meant, and be sent twice
  // as many pieces. Asked again in its frames.
  const pa_buffer_attr attributes = bufferAttributes(format, pieceSeconds_);
  if (pa_operation* operation = pa_stream_set_buffer_attr(stream_, &attributes, nullptr, nullptr)) {
    pa_operation_unref(operation);
  }
}

}  // namespace platform::pulse
