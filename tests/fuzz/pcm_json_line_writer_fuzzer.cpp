// The PCM writer fed arbitrary blocks: mono samples, and buffer lists of any shape in accepted
// and refused formats, at arbitrary rates, with diagnostics in between; its output goes to a
// memory file. Every line must be a JSON record: the started record first, the ended record
// last, diagnostics in order, and chunk records of exactly 1600 frames (3200 bytes of data)
// whose samples stay within the limiter's ceiling and agree with "peak" and "rms".
// Two further writers check the same run: one fed the buffer lists' samples as the extractor
// mixes them (the buffer-list path is that mix, then the mono path), and, when every rate steps
// by whole samples, one fed each stretch of one rate in a single block (the output does not
// depend on how the input is cut). The number of chunks follows from the samples and rates.
#include <sys/mman.h>
#include <unistd.h>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "audio-helper/core/pcm_json_line_writer.h"
#include "audio-helper/core/stderr_writer.h"

using namespace norvi::helper;

// The writer's standard-error lines, kept for the checks instead of written out.
namespace {
std::mutex stderrLock;
std::string stderrText;
}  // namespace

void norvi::helper::writeStderr(std::string_view text) {
    std::lock_guard guard(stderrLock);
    stderrText += text;
}

namespace {

constexpr char command[] = "fuzz";
constexpr std::size_t maximumSamples = 32000;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();
// The last entry takes its rate from the input, from 4000 Hz up in quarter steps.
constexpr double sampleRates[] = {16000,   48000,   32000, 96000, 44100,  8000, 22050,    11025,
                                  47999.5, 16000.5, 1e300, 0,     -48000, nan,  infinity, 0};

// A buffer list with storage for its data, every buffer exactly as large as it claims.
struct BufferListBlock {
    AudioStreamBasicDescription format;
    AudioBufferListStorage storage = AudioBufferListStorage::allocate(0);
    std::vector<std::vector<std::uint8_t>> data;
};

// One call of the run, made `repeats` times; `index` is its place in the input.
struct Call {
    enum class Kind { mono, bufferList, diagnostic } kind = Kind::mono;
    std::size_t index = 0;
    double rate = 0;
    std::size_t repeats = 1;
    std::vector<float> samples;
    std::unique_ptr<BufferListBlock> list;
};

class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return offset_ >= size_; }
    std::uint8_t byte() { return empty() ? 0 : data_[offset_++]; }
    std::size_t take(std::size_t count, std::uint8_t* out) {
        count = std::min(count, size_ - std::min(offset_, size_));
        if (count > 0)
            std::memcpy(out, data_ + offset_, count);
        offset_ += count;
        return count;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

bool usableRate(double rate) {
    return rate >= 1 && std::isfinite(rate);
}

bool wholeStep(double rate) {
    const double step = rate / 16000;
    return step == std::floor(step) && step < 0x1p52;
}

AudioStreamBasicDescription listFormat(unsigned variant, std::uint32_t channels, double rate) {
    struct Layout {
        std::uint32_t formatID, flags, bits;
    };
    constexpr std::uint32_t lpcm = kAudioFormatLinearPCM;
    constexpr std::uint32_t isFloat = kAudioFormatFlagIsFloat;
    constexpr std::uint32_t isSigned = kAudioFormatFlagIsSignedInteger;
    static constexpr Layout layouts[] = {
        {lpcm, isFloat | kAudioFormatFlagIsPacked, 32},
        {lpcm, isSigned | kAudioFormatFlagIsPacked, 16},
        // The big-endian and packed flags are not looked at.
        {lpcm, isFloat | isSigned | kAudioFormatFlagIsBigEndian, 32},
        {lpcm, isSigned, 16},
        // Refused: 32-bit integers, 64-bit floats, 24-bit integers, not linear PCM.
        {lpcm, isSigned, 32},
        {lpcm, isFloat, 64},
        {lpcm, isSigned, 24},
        {fourCharCode("aac "), isFloat, 32},
    };
    const Layout& layout = layouts[variant % 8];
    AudioStreamBasicDescription format{};
    format.mSampleRate = rate;
    format.mFormatID = layout.formatID;
    format.mFormatFlags = layout.flags;
    format.mChannelsPerFrame = channels;
    format.mBitsPerChannel = layout.bits;
    format.mBytesPerFrame = layout.bits / 8 * std::max<std::uint32_t>(channels, 1);
    format.mBytesPerPacket = format.mBytesPerFrame;
    format.mFramesPerPacket = 1;
    return format;
}

bool accepted(const AudioStreamBasicDescription& format) {
    return format.mFormatID == kAudioFormatLinearPCM &&
           ((format.mBitsPerChannel == 32 && (format.mFormatFlags & kAudioFormatFlagIsFloat)) ||
            (format.mBitsPerChannel == 16 &&
             (format.mFormatFlags & kAudioFormatFlagIsSignedInteger)));
}

std::unique_ptr<BufferListBlock> readBufferList(Input& input, double rate, bool nonInterleaved) {
    const std::uint8_t shape = input.byte();
    auto block = std::make_unique<BufferListBlock>();
    block->format = listFormat(shape >> 4, (shape >> 2) & 3, rate);
    if (nonInterleaved)
        block->format.mFormatFlags |= kAudioFormatFlagIsNonInterleaved;
    block->storage = AudioBufferListStorage::allocate(shape & 3);
    for (AudioBuffer& buffer : audioBuffers(*block->storage.list())) {
        const std::uint8_t layout = input.byte();
        const std::size_t size = input.byte() * std::size_t{4} + ((layout >> 3) & 3);
        buffer.mNumberChannels = layout & 3;
        std::vector<std::uint8_t> taken(size);
        taken.resize(input.take(size, taken.data()));
        // Exactly the declared bytes on the heap, so that any over-read is caught.
        auto& bytes = block->data.emplace_back(taken.begin(), taken.end());
        buffer.mDataByteSize = static_cast<std::uint32_t>(bytes.size());
        buffer.mData = (layout & 4) || bytes.empty() ? nullptr : bytes.data();
    }
    return block;
}

std::vector<Call> readCalls(Input& input) {
    std::vector<Call> calls;
    std::size_t total = 0;
    while (!input.empty() && total < maximumSamples) {
        const std::uint8_t op = input.byte();
        const std::uint8_t timing = input.byte();
        Call& call = calls.emplace_back();
        call.index = calls.size() - 1;
        call.rate = sampleRates[timing & 15];
        if ((timing & 15) == 15) {
            const unsigned high = input.byte();
            call.rate = 4000 + (high << 8 | input.byte()) * 0.25;
        }
        call.repeats = 1 + (timing >> 4);
        const unsigned kind = op & 7;
        if (kind == 4) {
            call.kind = Call::Kind::diagnostic;
            call.repeats = 1;
        } else if (kind == 2 || kind == 3) {
            call.kind = Call::Kind::bufferList;
            call.list = readBufferList(input, call.rate, kind == 3);
        } else {
            // Raw float bits (any value, not-a-number and infinities included), or 16-bit values
            // scaled to -2..2, which reach the limiter's bend and beyond.
            const std::size_t count = input.byte();
            const bool raw = kind == 0;
            std::vector<std::uint8_t> bytes(count * (raw ? 4 : 2));
            bytes.resize(input.take(bytes.size(), bytes.data()));
            for (std::size_t at = 0; at + (raw ? 4 : 2) <= bytes.size(); at += raw ? 4 : 2) {
                if (raw) {
                    float value;
                    std::memcpy(&value, &bytes[at], 4);
                    call.samples.push_back(value);
                } else {
                    std::int16_t value;
                    std::memcpy(&value, &bytes[at], 2);
                    call.samples.push_back(static_cast<float>(value) / 16384.0f);
                }
            }
        }
        total += call.repeats * (call.samples.size() + (call.list ? 256 : 0));
    }
    return calls;
}

// The mono samples a buffer-list call amounts to, or nothing when the writer refuses it.
std::optional<std::vector<float>> mixedSamples(const BufferListBlock& block) {
    const AudioStreamBasicDescription& format = block.format;
    if (!accepted(format))
        return std::nullopt;
    const bool isFloat = format.mBitsPerChannel == 32;
    const AudioBufferList& list = *block.storage.list();
    MonoSampleExtractor extractor;
    const std::span<const float> samples =
        (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved)
            ? extractor.nonInterleaved(list, format.mBitsPerChannel, isFloat)
            : extractor.interleaved(list, format.mBitsPerChannel,
                                    std::max<std::uint32_t>(format.mChannelsPerFrame, 1), isFloat);
    if (samples.empty())
        return std::nullopt;
    return std::vector<float>(samples.begin(), samples.end());
}

// Stretches of calls at one rate: the writer's state carries over only within one.
struct Stretch {
    double rate = 0;
    std::size_t samples = 0;
    std::size_t calls = 0;
};

struct Plan {
    // The calls as mono samples: buffer lists replaced by their mix, refused ones left out.
    std::vector<Call> mono;
    std::vector<Stretch> stretches;
    bool refusedList = false;
    bool bufferLists = false;
};

Plan planOf(const std::vector<Call>& calls) {
    Plan plan;
    for (const Call& call : calls) {
        Call mono{
            .kind = call.kind, .index = call.index, .rate = call.rate, .repeats = call.repeats};
        if (call.kind == Call::Kind::bufferList) {
            plan.bufferLists = true;
            std::optional<std::vector<float>> samples = mixedSamples(*call.list);
            if (!samples) {
                plan.refusedList = true;
                continue;
            }
            mono.kind = Call::Kind::mono;
            mono.samples = std::move(*samples);
        } else {
            mono.samples = call.samples;
        }
        if (mono.kind == Call::Kind::mono) {
            // Exact comparison, as the writer makes it: not-a-number starts a new stretch each
            // time.
            if (plan.stretches.empty() || plan.stretches.back().rate != mono.rate ||
                !usableRate(mono.rate)) {
                plan.stretches.push_back({mono.rate, 0, 0});
            }
            plan.stretches.back().samples +=
                usableRate(mono.rate) ? mono.samples.size() * mono.repeats : 0;
            plan.stretches.back().calls += mono.repeats;
        }
        plan.mono.push_back(std::move(mono));
    }
    return plan;
}

struct Written {
    std::vector<std::string> lines;
    std::string stderrText;
};

template <typename Feed>
Written runWriter(Feed feed) {
    const int fd = ::memfd_create("pcm-json-lines", MFD_CLOEXEC);
    if (fd < 0)
        std::abort();
    {
        std::lock_guard guard(stderrLock);
        stderrText.clear();
    }
    {
        PcmJsonLineWriter writer(command, fd);
        writer.writeStarted(std::nullopt);
        feed(writer);
        writer.writeEnded();
        writer.flush();
    }
    std::string text;
    char buffer[65536];
    ::lseek(fd, 0, SEEK_SET);
    for (ssize_t count; (count = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, count);
    ::close(fd);
    Written written;
    if (!text.empty() && text.back() != '\n')
        std::abort();
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\n', start);
        written.lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    std::lock_guard guard(stderrLock);
    written.stderrText = stderrText;
    return written;
}

void checkedCall(PcmJsonLineWriter& writer, const Call& call) {
    for (std::size_t repeat = 0; repeat < call.repeats; ++repeat) {
        switch (call.kind) {
            case Call::Kind::mono:
                writer.recordMonoSamples(call.samples, call.rate);
                break;
            case Call::Kind::bufferList:
                writer.recordBufferList(call.list->storage.list(), call.list->format);
                break;
            case Call::Kind::diagnostic:
                writer.writeDiagnostic(
                    "fuzz_step", PcmJsonLineWriter::Details{{"index", std::to_string(call.index)}});
                break;
        }
        // What is left over between calls: at most the sample before the position and the one
        // at it; nothing at a rate that cannot be stepped through.
        const std::size_t buffered = writer.bufferedInputSamples();
        if (buffered > 2)
            std::abort();
        if (call.kind == Call::Kind::mono && !usableRate(call.rate) && buffered != 0)
            std::abort();
    }
}

Written feedCalls(const std::vector<Call>& calls) {
    return runWriter([&](PcmJsonLineWriter& writer) {
        for (const Call& call : calls)
            checkedCall(writer, call);
    });
}

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    return c == '+' ? 62 : c == '/' ? 63 : -1;
}

// Strict: whole groups of four, the standard alphabet, padding only at the end.
std::vector<std::uint8_t> decodeBase64(const std::string& text) {
    if (text.size() % 4 != 0)
        std::abort();
    std::vector<std::uint8_t> bytes;
    for (std::size_t at = 0; at < text.size(); at += 4) {
        const bool last = at + 4 == text.size();
        const int padding = last ? (text[at + 3] == '=') + (text[at + 2] == '=') : 0;
        std::uint32_t group = 0;
        for (int i = 0; i < 4; ++i) {
            const int value = i >= 4 - padding ? 0 : base64Value(text[at + i]);
            if (value < 0)
                std::abort();
            group = group << 6 | static_cast<std::uint32_t>(value);
        }
        for (int i = 0; i < 3 - padding; ++i)
            bytes.push_back(static_cast<std::uint8_t>(group >> (16 - 8 * i)));
    }
    return bytes;
}

struct ChunkFigures {
    double peak;
    double rms;
};

ChunkFigures checkChunk(const nlohmann::json& record) {
    if (record.size() != 7 || record.at("channels") != 1 || record.at("frames") != 1600 ||
        record.at("sampleRate") != 16000 || !record.at("data").is_string() ||
        !record.at("peak").is_number() || !record.at("rms").is_number()) {
        std::abort();
    }
    const std::vector<std::uint8_t> bytes = decodeBase64(record.at("data").get<std::string>());
    if (bytes.size() != 3200)
        std::abort();
    int largest = 0;
    double squares = 0;
    for (std::size_t at = 0; at < bytes.size(); at += 2) {
        const auto sample = static_cast<std::int16_t>(bytes[at] | bytes[at + 1] << 8);
        // The limiter's ceiling of 0.98 keeps every sample within ±32111.
        if (sample < -32111 || sample > 32111)
            std::abort();
        largest = std::max(largest, std::abs(int{sample}));
        squares += (sample / 32767.0) * (sample / 32767.0);
    }
    const double peak = record.at("peak").get<double>();
    const double rms = record.at("rms").get<double>();
    if (peak != largest / 32767.0)
        std::abort();
    const double expectedRms = std::sqrt(squares / 1600);
    if (!(std::fabs(rms - expectedRms) <= 1e-12 * (1 + expectedRms)))
        std::abort();
    return {peak, rms};
}

// Checks the records and returns the chunk lines in order.
std::vector<std::string> checkRecords(const Written& written, const std::vector<Call>& calls) {
    if (written.lines.size() < 2)
        std::abort();
    std::vector<std::string> chunks;
    std::size_t nextDiagnostic = 0;
    std::optional<ChunkFigures> first;
    for (std::size_t line = 0; line < written.lines.size(); ++line) {
        const nlohmann::json record = nlohmann::json::parse(written.lines[line], nullptr, false);
        if (!record.is_object() || !record.contains("type") || !record.at("type").is_string())
            std::abort();
        const std::string type = record.at("type").get<std::string>();
        if (line == 0) {
            if (record != nlohmann::json{{"command", command},
                                         {"outputChannels", 1},
                                         {"outputSampleRate", 16000},
                                         {"type", "stream_started"}}) {
                std::abort();
            }
        } else if (line + 1 == written.lines.size()) {
            if (record != nlohmann::json{{"command", command}, {"type", "stream_ended"}})
                std::abort();
        } else if (type == "stream_diagnostic") {
            while (nextDiagnostic < calls.size() &&
                   calls[nextDiagnostic].kind != Call::Kind::diagnostic) {
                ++nextDiagnostic;
            }
            if (nextDiagnostic == calls.size())
                std::abort();
            const nlohmann::json expected{{"details", {{"index", std::to_string(nextDiagnostic)}}},
                                          {"name", "fuzz_step"},
                                          {"type", "stream_diagnostic"}};
            if (record != expected)
                std::abort();
            ++nextDiagnostic;
        } else if (type == "pcm_s16le") {
            const ChunkFigures figures = checkChunk(record);
            if (!first)
                first = figures;
            chunks.push_back(written.lines[line]);
        } else {
            std::abort();
        }
    }
    const bool diagnosticsLeft =
        std::any_of(calls.begin() + std::min(nextDiagnostic, calls.size()), calls.end(),
                    [](const Call& call) { return call.kind == Call::Kind::diagnostic; });
    if (diagnosticsLeft)
        std::abort();

    // The first chunk is reported once on standard error, with its figures.
    const std::string firstLine =
        std::string(command) + ": emitted first PCM chunk frames=1600 peak=";
    const std::size_t reported = written.stderrText.find(firstLine);
    if (first.has_value() != (reported != std::string::npos))
        std::abort();
    if (first) {
        if (written.stderrText.find(firstLine, reported + 1) != std::string::npos)
            std::abort();
        const char* text = written.stderrText.c_str() + reported + firstLine.size();
        char* end = nullptr;
        const double peak = std::strtod(text, &end);
        if (peak != first->peak || std::string_view(end, 5) != " rms=")
            std::abort();
        if (std::strtod(end + 5, &end) != first->rms || *end != '\n')
            std::abort();
    }
    if (written.stderrText.find("Failed to encode") != std::string::npos)
        std::abort();
    return chunks;
}

// The range of chunks a stretch yields: output sample k sits at input position k × rate / 16000
// and needs the samples on both sides of it. With a whole step the count is exact; otherwise
// the position is a running sum and may end one sample either way.
std::pair<std::size_t, std::size_t> expectedChunks(const std::vector<Stretch>& stretches) {
    std::size_t least = 0;
    std::size_t most = 0;
    for (const Stretch& stretch : stretches) {
        if (!usableRate(stretch.rate) || stretch.samples < 2)
            continue;
        const double step = stretch.rate / 16000;
        if (wholeStep(stretch.rate)) {
            const std::size_t outputs = (stretch.samples - 2) / static_cast<std::size_t>(step) + 1;
            least += outputs / 1600;
            most += outputs / 1600;
        } else {
            const double outputs = std::ceil(static_cast<double>(stretch.samples - 1) / step);
            least += static_cast<std::size_t>(std::max(outputs - 1, 0.0)) / 1600;
            most += static_cast<std::size_t>(outputs + 1) / 1600;
        }
    }
    return {least, most};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input input(data, size);
    const std::vector<Call> calls = readCalls(input);
    const Plan plan = planOf(calls);

    const Written written = feedCalls(calls);
    const std::vector<std::string> chunks = checkRecords(written, calls);
    const auto [least, most] = expectedChunks(plan.stretches);
    if (chunks.size() < least || chunks.size() > most)
        std::abort();
    const std::string refusedLine =
        std::string(command) + ": unsupported or empty PCM buffer format=";
    const std::size_t refused = written.stderrText.find(refusedLine);
    if (plan.refusedList != (refused != std::string::npos))
        std::abort();
    if (plan.refusedList && written.stderrText.find(refusedLine, refused + 1) != std::string::npos)
        std::abort();

    // The buffer lists' path is the extractor's mix fed to the mono path. (Each writer costs a
    // thread, so the ones that could only repeat the first are left out.)
    if (plan.bufferLists && feedCalls(plan.mono).lines != written.lines)
        std::abort();

    // With whole steps, one block per stretch gives the same chunks as the blocks as they came.
    const bool whole = std::all_of(plan.mono.begin(), plan.mono.end(), [](const Call& call) {
        return call.kind != Call::Kind::mono || !usableRate(call.rate) || wholeStep(call.rate);
    });
    const bool cut = std::any_of(plan.stretches.begin(), plan.stretches.end(),
                                 [](const Stretch& stretch) { return stretch.calls > 1; });
    if (whole && cut) {
        const Written joined = runWriter([&](PcmJsonLineWriter& writer) {
            const Call* previous = nullptr;
            std::vector<float> samples;
            const auto flushStretch = [&] {
                if (previous)
                    writer.recordMonoSamples(samples, previous->rate);
                samples.clear();
            };
            for (const Call& call : plan.mono) {
                if (call.kind != Call::Kind::mono)
                    continue;
                if (!previous || previous->rate != call.rate || !usableRate(call.rate)) {
                    flushStretch();
                    previous = &call;
                }
                for (std::size_t repeat = 0; repeat < call.repeats; ++repeat) {
                    samples.insert(samples.end(), call.samples.begin(), call.samples.end());
                }
            }
            flushStretch();
        });
        std::vector<std::string> joinedChunks;
        for (const std::string& line : joined.lines) {
            if (line.find("\"type\":\"pcm_s16le\"") != std::string::npos)
                joinedChunks.push_back(line);
        }
        if (joinedChunks != chunks)
            std::abort();
    }
    return 0;
}
