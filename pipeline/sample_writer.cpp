#include "sample_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "bytes.h"

namespace kv318::pipeline {

namespace {
constexpr std::size_t kBufferBytes = 1 << 20;
}

FileOutput::FileOutput(const std::string& path) : file_(std::fopen(path.c_str(), "wb")), owned_(true) {
    if (file_ == nullptr) error_ = std::strerror(errno);
    // Unbuffered: the writer hands over whole megabytes anyway, and a write
    // that fails part way then says truly how much reached the file.
    else std::setvbuf(file_, nullptr, _IONBF, 0);
}

FileOutput::FileOutput(std::FILE* stream) : file_(stream) {}

FileOutput::~FileOutput() {
    if (owned_ && file_ != nullptr) std::fclose(file_);
}

bool FileOutput::write(const void* data, std::size_t size) {
    if (file_ == nullptr) return false;
    const std::size_t n = std::fwrite(data, 1, size, file_);
    landed_ += n;
    if (n == size) return true;
    error_ = std::strerror(errno);
    return false;
}

bool FileOutput::rewrite(std::uint64_t offset, const void* data, std::size_t size) {
    // Only header offsets are rewritten, so a plain long reaches them on
    // every platform; the end is sought with offset 0.
    if (file_ == nullptr || std::fflush(file_) != 0) return false;
    if (std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0) return false;
    const bool wrote = std::fwrite(data, 1, size, file_) == size;
    if (!wrote) error_ = std::strerror(errno);
    return std::fseek(file_, 0, SEEK_END) == 0 && wrote;
}

bool FileOutput::cut(std::uint64_t size) {
    if (file_ == nullptr || size > landed_ || std::fflush(file_) != 0) return false;
#ifdef _WIN32
    const bool cutBack = _chsize_s(_fileno(file_), static_cast<__int64>(size)) == 0;
#else
    const bool cutBack = ::ftruncate(::fileno(file_), static_cast<off_t>(size)) == 0;
#endif
    // The stream's position stays past the end; nothing is written after a
    // cut, which only follows a failure.
    if (cutBack) landed_ = size;
    return cutBack;
}

bool FileOutput::flush() {
    if (file_ == nullptr) return false;
    if (std::fflush(file_) == 0) return true;
    error_ = std::strerror(errno);
    return false;
}

SampleWriter::SampleWriter(Format format, ByteOutput& out, std::uint64_t clockHz, std::uint32_t divider,
                           std::uint64_t maxWavData)
    : format_(format),
      first_(&out),
      out_(&out),
      clockHz_(clockHz),
      divider_(divider),
      rate_(wav_rate(clockHz, divider)),
      maxWavData_(maxWavData & ~1ull),
      partLimit_(maxWavData_),
      buffer_(kBufferBytes) {
    if (format_ == Format::Csv) csv_ = std::make_unique<CsvFormatter>(clockHz, divider);
}

SampleWriter::SampleWriter(SampleStore& store, std::uint64_t clockHz, std::uint32_t divider)
    : format_(Format::Hdf5),
      store_(&store),
      clockHz_(clockHz),
      divider_(divider),
      rate_(wav_rate(clockHz, divider)),
      maxWavData_(0),
      codes_(kBufferBytes / sizeof(std::int16_t)) {}

std::vector<std::uint8_t> SampleWriter::header(std::uint32_t dataBytes) const {
    const auto plain = wav_header(rate_, dataBytes);
    if (!described_) return {plain.begin(), plain.end()};
    // The LIST chunk goes between fmt and data, where every reader that
    // does not know it skips it by its size.
    const std::vector<std::uint8_t> info = wav_info_chunk(recording_, part_, partFirst_, fifoNote_);
    std::vector<std::uint8_t> h(plain.begin(), plain.begin() + 36);
    h.insert(h.end(), info.begin(), info.end());
    h.insert(h.end(), plain.begin() + 36, plain.end());
    put_u32le(h.data() + 4, static_cast<std::uint32_t>(h.size() - 8 + static_cast<std::uint64_t>(dataBytes)));
    return h;
}

bool SampleWriter::begin_wav() {
    // The RIFF size must hold the header after "RIFF" and its size field
    // as well as the data, so a described file holds a little less.
    headerBytes_ = header(0).size();
    partLimit_ = std::min<std::uint64_t>(maxWavData_, (0xFFFFFFFFull - (headerBytes_ - 8)) & ~1ull);
    // Until the first fix-up the sizes say "as long as the data goes",
    // which readers take as "to the end of the file"; on an output that
    // cannot seek they stay so.
    const auto h = header(static_cast<std::uint32_t>(partLimit_));
    failed_ = !out_->write(h.data(), h.size());
    return !failed_;
}

bool SampleWriter::begin() {
    if (format_ == Format::Hdf5) {
        Recording r = recording_;
        if (!described_) {
            r.clockHz = clockHz_;
            r.divider = divider_;
        }
        runFirst_ = samples_;
        failed_ = !store_->begin(r, samples_);
    } else if (format_ == Format::Csv) {
        if (described_ && recording_.triggered) csv_->set_time_zero(recording_.trigger.fileIndex);
        const std::string h = (described_ ? csv_preamble(recording_) : std::string()) + CsvFormatter::header();
        failed_ = !out_->write(h.data(), h.size());
    } else if (format_ == Format::Wav) {
        return begin_wav();
    }
    return !failed_;
}

bool SampleWriter::next_part() {
    if (!checkpoint()) return false;
    std::string why;
    std::unique_ptr<ByteOutput> next = opener_(part_ + 1, &why);
    if (next == nullptr) {
        error_ = why;
        failed_ = true;
        return false;
    }
    partOut_ = std::move(next);  // the previous part's file closes here
    out_ = partOut_.get();
    ++part_;
    partFirst_ = samples_;
    return begin_wav();
}

std::size_t SampleWriter::write(const std::int32_t* samples, std::size_t count) {
    std::size_t taken = 0;
    if (format_ == Format::Csv) {
        while (taken < count && !failed_) {
            if (buffer_.size() - used_ < CsvFormatter::kMaxLine && !emit()) break;
            used_ += csv_->line(index_, samples[taken], buffer_.data() + used_);
            ++taken;
            ++samples_;
            ++index_;
        }
        return taken;
    }
    if (format_ == Format::Hdf5) {
        while (taken < count && !failed_) {
            if (coded_ == codes_.size() && !emit()) break;
            const std::size_t n = std::min(count - taken, codes_.size() - coded_);
            for (std::size_t i = 0; i < n; ++i) {
                codes_[coded_ + i] =
                    static_cast<std::int16_t>(sample_code(static_cast<std::int16_t>(samples[taken + i])));
            }
            coded_ += n;
            taken += n;
            samples_ += n;
        }
        return taken;
    }
    while (taken < count && !failed_) {
        std::size_t n = count - taken;
        if (format_ == Format::Wav) {
            const std::uint64_t room = (partLimit_ - 2 * (samples_ - partFirst_)) / 2;
            if (room == 0) {
                if (!opener_) {
                    full_ = true;
                    break;
                }
                if (!next_part()) break;
                continue;
            }
            n = static_cast<std::size_t>(std::min<std::uint64_t>(n, room));
        }
        if (buffer_.size() - used_ < 2 && !emit()) break;
        // As many samples as the buffer has room for, in one plain loop the
        // compiler can widen.
        n = std::min(n, (buffer_.size() - used_) / 2);
        auto* out = reinterpret_cast<std::uint8_t*>(buffer_.data() + used_);
        for (std::size_t i = 0; i < n; ++i) put_u16le(out + 2 * i, static_cast<std::uint16_t>(samples[taken + i]));
        used_ += 2 * n;
        taken += n;
        samples_ += n;
    }
    return taken;
}

bool SampleWriter::emit_codes() {
    if (coded_ > 0 && !failed_ && !store_->append(codes_.data(), coded_)) {
        failed_ = true;
        written_ = runFirst_ + store_->appended();
    }
    coded_ = 0;
    if (!failed_) written_ = samples_;
    return !failed_;
}

bool SampleWriter::emit() {
    if (format_ == Format::Hdf5) return emit_codes();
    if (used_ > 0 && !failed_) {
        const std::uint64_t before = out_->landed();
        if (!out_->write(buffer_.data(), used_)) {
            failed_ = true;
            landed_partly(static_cast<std::size_t>(std::min<std::uint64_t>(out_->landed() - before, used_)));
        }
    }
    used_ = 0;
    // The buffer holds the samples taken since the last emit, whole.
    if (!failed_) written_ = samples_;
    return !failed_;
}

void SampleWriter::landed_partly(std::size_t bytes) {
    // The part of a line or of a sample that landed after the last whole
    // one is cut off where the output allows: it is not a sample.
    std::size_t whole = bytes & ~std::size_t{1};
    if (format_ == Format::Csv) {
        const char* last = std::find(std::make_reverse_iterator(buffer_.data() + bytes),
                                     std::make_reverse_iterator(buffer_.data()), '\n')
                               .base();
        whole = static_cast<std::size_t>(last - buffer_.data());
    }
    if (whole < bytes) out_->cut(out_->landed() - (bytes - whole));
    // written_ is still the count at the buffer's start.
    if (format_ == Format::Csv) {
        // The FIFO note's line may be the last in the buffer: not a sample.
        written_ = std::min(
            samples_, written_ + static_cast<std::uint64_t>(std::count(buffer_.data(), buffer_.data() + bytes, '\n')));
        return;
    }
    written_ += bytes / 2;
    if (format_ == Format::Wav) {
        // The header must not promise more than the file holds: neither the
        // open-ended sizes of the start nor the last checkpoint's.  A
        // rewrite in place needs no room on a full disk; an output that
        // cannot seek keeps the open-ended sizes, which readers take as "to
        // the end of the file".
        const auto h = header(static_cast<std::uint32_t>(2 * (written_ - partFirst_)));
        out_->rewrite(0, h.data(), h.size());
    }
}

bool SampleWriter::finish() {
    if (format_ == Format::Hdf5) {
        // The store closes its file here, so only once.
        if (finished_) return !failed_;
        finished_ = true;
        const bool emitted = emit();
        // Ended even after a failure, so the file is closed whole.
        if (!store_->finish(noted_ ? fifoNote_ : std::string()) && emitted) {
            failed_ = true;
            // A store may hold codes until it flushes (a compressed run):
            // only those it stored are in the file.
            written_ = runFirst_ + store_->appended();
        }
        return !failed_;
    }
    if (!finished_ && noted_ && format_ == Format::Wav && failed_) {
        // The header keeps its size, so the note goes in over the pending
        // one even on a full disk; the sizes stay those of the samples that
        // landed.
        finished_ = true;
        const auto h = header(static_cast<std::uint32_t>(2 * (written_ - partFirst_)));
        out_->rewrite(0, h.data(), h.size());
        return false;
    }
    if (!finished_ && noted_ && format_ == Format::Csv && !failed_) {
        // Whole lines only, like the samples: the note goes in after them.
        if (buffer_.size() - used_ < fifoNote_.size() + 3 && !emit()) return false;
        const std::string line = "# " + fifoNote_ + "\n";
        std::copy(line.begin(), line.end(), buffer_.data() + used_);
        used_ += line.size();
    }
    finished_ = true;
    return checkpoint();
}

bool SampleWriter::checkpoint() {
    if (!emit()) return false;
    if (format_ == Format::Hdf5) {
        failed_ = !store_->checkpoint();
        if (failed_) written_ = runFirst_ + store_->appended();
        return !failed_;
    }
    if (format_ == Format::Wav) {
        const auto h = header(static_cast<std::uint32_t>(2 * (samples_ - partFirst_)));
        // An output that cannot seek keeps the open-ended sizes.
        if (!out_->rewrite(0, h.data(), h.size()) && !out_->error().empty()) failed_ = true;
    }
    if (!failed_) failed_ = !out_->flush();
    return !failed_;
}

}  // namespace kv318::pipeline
