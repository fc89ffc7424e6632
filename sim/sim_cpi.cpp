// The CPI receiver of the virtual IO board; see sim_cpi.hpp.
#include "sim_cpi.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "sim_link.hpp"

namespace kor_sim {

namespace {

constexpr uint16_t kImageFile = 1;
constexpr uint16_t kTrailerFile = 2;
// Address, function, file and block: the header before the data.
constexpr std::size_t kHeader = 6;
constexpr std::size_t kCrc = 2;

uint16_t word_at(std::span<const uint8_t> frame, std::size_t at) {
    return static_cast<uint16_t>((frame[at] << 8) | frame[at + 1]);
}

bool write_all_at(int fd, std::span<const uint8_t> data, uint64_t offset) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = retry_eintr([&] {
            return ::pwrite(fd, data.data() + done, data.size() - done,
                            static_cast<off_t>(offset + done));
        });
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string hex(const uint8_t *bytes, std::size_t count) {
    std::string out;
    char two[3];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(two, sizeof two, "%02X", bytes[i]);
        out += two;
    }
    return out;
}

}  // namespace

std::vector<uint8_t> CpiReceiver::handle(std::span<const uint8_t> frame) {
    std::vector<uint8_t> none;
    // 1 to 247 data bytes: 7 to 253 bytes before the CRC.
    if (frame.size() < kHeader + 1 + kCrc || frame.size() > kHeader + kCpiMaxData + kCrc ||
        frame[0] != kSlaveId || frame[1] != kCpiFunction) {
        ++refused_;
        return none;
    }
    const uint16_t file = word_at(frame, 2);
    const uint16_t block = word_at(frame, 4);
    const auto data = frame.subspan(kHeader, frame.size() - kHeader - kCrc);
    bool stored = false;
    if (file == kImageFile) {
        stored = store_image_block(block, data);
    } else if (file == kTrailerFile && block == 0 && data.size() == 4 && next_block_ > 0) {
        stored = store_trailer(data);
    }
    if (!stored) {
        ++refused_;
        return none;
    }
    std::vector<uint8_t> reply(frame.begin(), frame.begin() + kHeader);
    std::optional<CpiFault> fault;
    if (!faults_.empty()) {
        fault = faults_.front();
        faults_.pop_front();
    }
    // The field named wrongly is big-endian; its low byte is enough to make it another.
    if (fault == CpiFault::Block) {
        reply[5] = static_cast<uint8_t>(reply[5] + 1);
    } else if (fault == CpiFault::File) {
        reply[3] = static_cast<uint8_t>(reply[3] ^ 0x03);
    }
    const uint16_t crc = modbus_crc16(reply);
    reply.push_back(static_cast<uint8_t>(crc & 0xFF));
    reply.push_back(static_cast<uint8_t>(crc >> 8));
    if (fault == CpiFault::Crc) {
        reply[kHeader] ^= 0xFF;
    } else if (fault == CpiFault::Short) {
        reply.pop_back();
    }
    if (file == kTrailerFile && on_complete_) {
        on_complete_();
    }
    return reply;
}

void CpiReceiver::corrupt_next(CpiFault fault, int count) {
    if (count <= 0) {
        std::erase(faults_, fault);
        return;
    }
    faults_.insert(faults_.end(), static_cast<std::size_t>(count), fault);
}

bool CpiReceiver::store_image_block(uint16_t block, std::span<const uint8_t> data) {
    uint64_t offset = 0;
    if (block == 0) {
        offset = 0;  // a new image (or block 0 again: the same thing)
    } else if (block == next_block_) {
        offset = bytes_;
    } else if (static_cast<uint32_t>(block) + 1 == next_block_) {
        offset = last_block_offset_;  // a retry: its data replaces the first copy
    } else {
        return false;
    }
    if (!path_.empty()) {
        if (block == 0 || !image_.valid()) {
            image_.reset(retry_eintr(
                [&] { return ::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644); }));
            if (!image_.valid()) {
                return fail(path_ + ": " + std::strerror(errno));
            }
        }
        if (!write_all_at(image_.get(), data, offset) ||
            ::ftruncate(image_.get(), static_cast<off_t>(offset + data.size())) != 0) {
            return fail(path_ + ": " + std::strerror(errno));
        }
    }
    if (block == 0 && has_trailer_) {
        // The trailer belonged to the image this one replaces.
        has_trailer_ = false;
        if (!path_.empty()) {
            ::unlink((path_ + ".trailer").c_str());
        }
    }
    last_block_offset_ = offset;
    bytes_ = offset + data.size();
    next_block_ = static_cast<uint32_t>(block) + 1;
    return true;
}

bool CpiReceiver::store_trailer(std::span<const uint8_t> data) {
    if (!path_.empty()) {
        const std::string path = path_ + ".trailer";
        UniqueFd fd(retry_eintr(
            [&] { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644); }));
        if (!fd.valid() || !write_all_at(fd.get(), data, 0)) {
            return fail(path + ": " + std::strerror(errno));
        }
    }
    std::memcpy(trailer_, data.data(), sizeof trailer_);
    has_trailer_ = true;
    return true;
}

bool CpiReceiver::fail(const std::string &what) {
    // A block the board cannot keep is not confirmed: the sender sees the time-out.
    error_ = what;
    std::fprintf(stderr, "kor_ioboard_sim: cannot store a CPI block: %s\n", what.c_str());
    return false;
}

CpiStatus CpiReceiver::status() const {
    CpiStatus s;
    s.blocks = next_block_;
    s.bytes = bytes_;
    s.has_trailer = has_trailer_;
    std::memcpy(s.trailer, trailer_, sizeof trailer_);
    s.refused = refused_;
    s.corrupt_pending = static_cast<int>(faults_.size());
    return s;
}

std::string cpi_status_fields(const CpiReceiver &cpi) {
    const CpiStatus s = cpi.status();
    return "cpi_blocks=" + std::to_string(s.blocks) + " cpi_bytes=" + std::to_string(s.bytes);
}

void add_cpi_commands(CommandTable &table, CpiReceiver &cpi) {
    using Args = std::span<const std::string_view>;
    table.add("cpi", [&cpi](Args args) {
        if (!args.empty()) {
            return std::string("error: usage: cpi");
        }
        const CpiStatus s = cpi.status();
        return "cpi blocks=" + std::to_string(s.blocks) + " bytes=" + std::to_string(s.bytes) +
               " trailer=" + (s.has_trailer ? hex(s.trailer, 4) : std::string("none")) +
               " refused=" + std::to_string(s.refused) +
               " corrupt=" + std::to_string(s.corrupt_pending);
    });
    table.add("cpi-corrupt", [&cpi](Args args) {
        static constexpr std::pair<std::string_view, CpiFault> kinds[] = {
            {"crc", CpiFault::Crc},
            {"short", CpiFault::Short},
            {"block", CpiFault::Block},
            {"file", CpiFault::File}};
        CpiFault fault = CpiFault::Crc;
        std::size_t next = 0;
        if (!args.empty()) {
            for (const auto &[name, kind] : kinds) {
                if (args[0] == name) {
                    fault = kind;
                    next = 1;
                }
            }
        }
        long count = 1;
        if (args.size() > next + 1 ||
            (args.size() == next + 1 && !parse_int(args[next], 0, 1000000, count))) {
            return std::string(
                "error: usage: cpi-corrupt [crc|short|block|file] [COUNT] (default crc 1)");
        }
        cpi.corrupt_next(fault, static_cast<int>(count));
        return std::string("ok");
    });
}

}  // namespace kor_sim
