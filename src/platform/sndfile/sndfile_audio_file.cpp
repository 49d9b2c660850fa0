// CAF and AIFF-C files, written through libsndfile.
#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/audio_file_errors.h"
#include "platform/error.h"
#include "platform/media.h"
#include "platform/sndfile/sndfile_audio_file.h"

namespace platform {
namespace {

class SndfileAudioFile final : public AudioFile {
 public:
  SndfileAudioFile(SNDFILE* file, int fd, std::string path, uint32_t channels, double sampleRate)
      : file_(file),
        fd_(fd),
        path_(std::move(path)),
        channels_(channels),
        sampleRate_(sampleRate),
        dataOffset_(lseek(fd, 0, SEEK_CUR)) {}
  ~SndfileAudioFile() override {
    sf_close(file_);  // writes the final header
    close(fd_);
  }

  void write(const PCMBuffer& buffer) override {
    requireFileFormat(buffer, channels_, sampleRate_, path_);
    const sf_count_t frames = buffer.frameLength();
    if (frames == 0) return;
    sf_count_t written;
    errno = 0;
    if (const float* const* samples = buffer.floatChannelData()) {
      written = sf_writef_float(file_, interleaved(buffer, samples), frames);
    } else if (const int16_t* const* samples = buffer.int16ChannelData()) {
      written = sf_writef_short(file_, interleaved(buffer, samples), frames);
    } else {
      throw fileError("cannot write to", path_, "samples are neither float nor 16-bit");
    }
    if (written != frames) {
      const int errorNumber = errno ? errno : EIO;
      rollBack();
      throw fileError("cannot write to", path_, errorNumber);
    }
    length_ += written;
  }

 private:
  // After a failed write (a full disk, say) the file may hold part of the buffer, and the
  // library counts it: cut the file back to the buffers written whole, so that it stays a valid
  // recording and the next write continues it.
  void rollBack() {
    if (dataOffset_ < 0) return;  // not a seekable file: nothing to mend
    const off_t end = dataOffset_ + static_cast<off_t>(length_) * 2 * channels_;
    if (ftruncate(fd_, end) != 0) return;
    sf_seek(file_, length_, SEEK_SET | SFM_WRITE);
    sf_command(file_, SFC_UPDATE_HEADER_NOW, nullptr, 0);
  }

  // libsndfile takes interleaved frames. One channel, or an interleaved buffer, is that already;
  // separate channel arrays are gathered into a scratch buffer kept between writes.
  template <typename Sample>
  const Sample* interleaved(const PCMBuffer& buffer, const Sample* const* channels) {
    if (channels_ == 1 || buffer.format().isInterleaved()) return channels[0];
    std::vector<Sample>& scratch = scratchFor<Sample>();
    const uint32_t frames = buffer.frameLength();
    scratch.resize(size_t{frames} * channels_);
    for (uint32_t f = 0; f < frames; ++f) {
      for (uint32_t c = 0; c < channels_; ++c) scratch[size_t{f} * channels_ + c] = channels[c][f];
    }
    return scratch.data();
  }
  template <typename Sample>
  std::vector<Sample>& scratchFor() {
    if constexpr (std::is_same_v<Sample, float>) {
      return floatScratch_;
    } else {
      return shortScratch_;
    }
  }

  SNDFILE* file_;
  int fd_;
  std::string path_;
  uint32_t channels_;
  double sampleRate_;
  const off_t dataOffset_;  // where the samples begin, or -1
  int64_t length_ = 0;
  std::vector<float> floatScratch_;
  std::vector<int16_t> shortScratch_;
};

}  // namespace

namespace sndfile {

std::unique_ptr<AudioFile> open(const std::string& path, Container container, uint32_t sampleRate,
                                uint32_t channels) {
  const auto [fd, seekable] = createOutputFile(path);

  SF_INFO info{};
  info.samplerate = static_cast<int>(sampleRate);
  info.channels = static_cast<int>(channels);
  info.format = (container == Container::caf ? SF_FORMAT_CAF : SF_FORMAT_AIFF) | SF_FORMAT_PCM_16 |
                SF_ENDIAN_LITTLE;
  errno = 0;
  SNDFILE* file = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
  if (!file) {
    const int errorNumber = errno;
    const std::string reason = sf_strerror(nullptr);
    close(fd);
    if (errorNumber) throw fileError("cannot create", path, errorNumber);
    throw fileError("cannot create", path, reason);
  }
  // Samples beyond full scale stop at full scale instead of wrapping around.
  sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  // The header is rewritten after every write, so that the file on disk is complete at every
  // moment, even if the process is killed: a few bytes and two seeks per buffer, no fsync.
  if (seekable) sf_command(file, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
  return std::make_unique<SndfileAudioFile>(file, fd, path, channels, sampleRate);
}

}  // namespace sndfile

}  // namespace platform
