#include "HelperPlatform/Capture/Thumbnail.hpp"

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>
#include <turbojpeg.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperPlatform/Media/AVOwners.hpp"

namespace tavrel::Thumbnails {

namespace {

// Larger pictures are refused rather than decoded: a reference is a screenshot.
constexpr int largestSide = 1 << 14;
constexpr std::size_t largestFile = std::size_t{64} << 20;

struct TurboFree {
    void operator()(void* handle) const { tjDestroy(handle); }
};
struct FormatClose {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct ScaleFree {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};

// A file descriptor, closed on every path.
class OpenFile {
  public:
    explicit OpenFile(int descriptor) : descriptor_(descriptor) {}
    ~OpenFile() {
        if (descriptor_ >= 0) ::close(descriptor_);
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    int get() const { return descriptor_; }

  private:
    int descriptor_;
};

// The whole of a regular file. Opened without blocking, so that a FIFO can be told apart
// before anything waits on it, and read no further than the limit.
std::vector<std::uint8_t> readFile(const std::string& path) {
    OpenFile file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0)
        throw HelperFailure(path + " cannot be opened: " + std::strerror(errno), 400);
    struct stat status {};
    if (::fstat(file.get(), &status) != 0)
        throw HelperFailure(path + " cannot be examined: " + std::strerror(errno), 400);
    if (!S_ISREG(status.st_mode)) throw HelperFailure(path + " is not a regular file", 400);
    if (status.st_size > off_t(largestFile))
        throw HelperFailure(path + " is larger than " + std::to_string(largestFile >> 20) + " MiB",
                            400);
    std::vector<std::uint8_t> bytes(std::size_t(status.st_size));
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const auto got = ::read(file.get(), bytes.data() + filled, bytes.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw HelperFailure(path + " cannot be read: " + std::strerror(errno), 400);
        if (got == 0) break;  // it shrank meanwhile
        filled += std::size_t(got);
    }
    bytes.resize(filled);
    return bytes;
}

// libavformat reading from the bytes already in memory, never from the path again.
class MemoryInput {
  public:
    explicit MemoryInput(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {
        constexpr int bufferSize = 1 << 14;
        auto* buffer = static_cast<unsigned char*>(av_malloc(bufferSize));
        if (!buffer) return;
        io_ = avio_alloc_context(buffer, bufferSize, 0, this, &MemoryInput::read, nullptr,
                                 &MemoryInput::seek);
        if (!io_) av_free(buffer);
    }
    ~MemoryInput() {
        if (io_) av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
    MemoryInput(const MemoryInput&) = delete;
    MemoryInput& operator=(const MemoryInput&) = delete;
    AVIOContext* get() const { return io_; }

  private:
    static int read(void* opaque, std::uint8_t* into, int size) {
        auto& self = *static_cast<MemoryInput*>(opaque);
        const auto left = self.bytes_.size() - self.at_;
        if (left == 0) return AVERROR_EOF;
        const auto count = std::min(left, std::size_t(size));
        std::memcpy(into, self.bytes_.data() + self.at_, count);
        self.at_ += count;
        return int(count);
    }
    static std::int64_t seek(void* opaque, std::int64_t offset, int whence) {
        auto& self = *static_cast<MemoryInput*>(opaque);
        const auto size = std::int64_t(self.bytes_.size());
        std::int64_t target = 0;
        switch (whence & ~AVSEEK_FORCE) {
            case AVSEEK_SIZE:
                return size;
            case SEEK_SET:
                target = offset;
                break;
            case SEEK_CUR:
                target = std::int64_t(self.at_) + offset;
                break;
            case SEEK_END:
                target = size + offset;
                break;
            default:
                return -1;
        }
        if (target < 0 || target > size) return -1;
        self.at_ = std::size_t(target);
        return target;
    }

    const std::vector<std::uint8_t>& bytes_;
    std::size_t at_ = 0;
    AVIOContext* io_ = nullptr;
};

std::optional<Thumbnail> ofJPEG(const std::vector<std::uint8_t>& bytes) {
    std::unique_ptr<void, TurboFree> handle(tjInitDecompress());
    if (!handle) return std::nullopt;
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(handle.get(), bytes.data(), bytes.size(), &width, &height, &subsampling,
                            &colorspace) != 0)
        return std::nullopt;
    if (width < 1 || height < 1 || width > largestSide || height > largestSide) return std::nullopt;
    std::vector<std::uint8_t> pixels(std::size_t(width) * height * 4);
    if (tjDecompress2(handle.get(), bytes.data(), bytes.size(), pixels.data(), width, width * 4,
                      height, TJPF_BGRA, 0) != 0)
        return std::nullopt;
    return ofPixels(pixels.data(), width, height, std::size_t(width) * 4);
}

std::optional<Thumbnail> ofImageBytes(const std::vector<std::uint8_t>& bytes) {
    MemoryInput input(bytes);
    AVFormatContext* opened = avformat_alloc_context();
    if (!input.get() || !opened) {
        avformat_free_context(opened);
        return std::nullopt;
    }
    opened->pb = input.get();
    opened->flags |= AVFMT_FLAG_CUSTOM_IO;
    // On failure avformat_open_input frees the context itself.
    if (avformat_open_input(&opened, nullptr, nullptr, nullptr) != 0) return std::nullopt;
    std::unique_ptr<AVFormatContext, FormatClose> format(opened);
    if (avformat_find_stream_info(format.get(), nullptr) < 0) return std::nullopt;
    const int index = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) return std::nullopt;
    const auto* parameters = format->streams[index]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    if (!codec) return std::nullopt;
    AVCodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context || avcodec_parameters_to_context(context.get(), parameters) < 0 ||
        avcodec_open2(context.get(), codec, nullptr) < 0)
        return std::nullopt;
    AVPacketPtr packet(av_packet_alloc());
    AVFramePtr frame(av_frame_alloc());
    if (!packet || !frame) return std::nullopt;
    bool decoded = false;
    while (!decoded && av_read_frame(format.get(), packet.get()) >= 0) {
        if (packet->stream_index == index && avcodec_send_packet(context.get(), packet.get()) >= 0)
            decoded = avcodec_receive_frame(context.get(), frame.get()) == 0;
        av_packet_unref(packet.get());
    }
    if (!decoded) {
        avcodec_send_packet(context.get(), nullptr);
        decoded = avcodec_receive_frame(context.get(), frame.get()) == 0;
    }
    if (!decoded) return std::nullopt;
    const int width = frame->width, height = frame->height;
    if (width < 1 || height < 1 || width > largestSide || height > largestSide) return std::nullopt;
    // Whatever the file's pixel format, once into BGRA; the squeeze is then the screen's own.
    std::unique_ptr<SwsContext, ScaleFree> convert(
        sws_getContext(width, height, static_cast<AVPixelFormat>(frame->format), width, height,
                       AV_PIX_FMT_BGRA, SWS_POINT, nullptr, nullptr, nullptr));
    if (!convert) return std::nullopt;
    std::vector<std::uint8_t> pixels(std::size_t(width) * height * 4);
    std::uint8_t* planes[4] = {pixels.data(), nullptr, nullptr, nullptr};
    int strides[4] = {width * 4, 0, 0, 0};
    if (sws_scale(convert.get(), frame->data, frame->linesize, 0, height, planes, strides) !=
        height)
        return std::nullopt;
    return ofPixels(pixels.data(), width, height, std::size_t(width) * 4);
}

}  // namespace

std::optional<Thumbnail> ofPixels(const std::uint8_t* pixels, int width, int height,
                                  std::size_t bytesPerRow) {
    if (!pixels || width < 1 || height < 1 || bytesPerRow < std::size_t(width) * 4)
        return std::nullopt;
    std::array<std::uint8_t, Likeness::size * 4> small{};
    if (libyuv::ARGBScale(pixels, int(bytesPerRow), width, height, small.data(),
                          Likeness::width * 4, Likeness::width, Likeness::height,
                          libyuv::kFilterBox) != 0)
        return std::nullopt;
    Thumbnail grey(Likeness::size);
    if (libyuv::ARGBToJ400(small.data(), Likeness::width * 4, grey.data(), Likeness::width,
                           Likeness::width, Likeness::height) != 0)
        return std::nullopt;
    return grey;
}

Thumbnail of(const std::string& file) {
    const auto bytes = readFile(file);
    std::optional<Thumbnail> thumbnail;
    if (bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF)
        thumbnail = ofJPEG(bytes);
    else if (!bytes.empty())
        thumbnail = ofImageBytes(bytes);
    if (!thumbnail) throw HelperFailure(file + " is not a picture that can be read", 400);
    return *thumbnail;
}

std::optional<Thumbnail> of(const Picture& picture) {
    if (!picture.surface || !picture.surface->isReadable()) return std::nullopt;
    const auto& surface = *picture.surface;
    return ofPixels(surface.pixels(), surface.width(), surface.height(), surface.bytesPerRow());
}

}  // namespace tavrel::Thumbnails
