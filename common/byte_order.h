#pragma once

// Big-endian fields, the byte order of every message, frame, capture and image Kestrune reads
// or writes (and the few little-endian ones: an image's block lengths, a pcap file's headers). The
// plain functions take a pointer the caller has already bounds-checked; the reader and the writer
// check every field against the end of their buffer and remember the first overrun, so a parser
// tests once, after its last field.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrune {

inline uint16_t readU16BE(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t readU24BE(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
}
inline uint32_t readU32BE(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
inline void writeU16BE(uint16_t value, uint8_t* p) {
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}
inline void writeU32BE(uint32_t value, uint8_t* p) {
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
}

inline uint16_t readU16LE(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline void writeU16LE(uint16_t value, uint8_t* p) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}
inline void writeU32LE(uint32_t value, uint8_t* p) {
    writeU16LE(static_cast<uint16_t>(value), p);
    writeU16LE(static_cast<uint16_t>(value >> 16), p + 2);
}

// Reads fields in order from `size` bytes. A field past the end reads as 0, and ok() is false
// from then on.
class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t u8() { return take(1) ? data_[pos_ - 1] : 0; }
    uint16_t u16() { return take(2) ? readU16BE(data_ + pos_ - 2) : 0; }
    uint32_t u24() { return take(3) ? readU24BE(data_ + pos_ - 3) : 0; }
    uint32_t u32() { return take(4) ? readU32BE(data_ + pos_ - 4) : 0; }
    // The next `n` bytes, or null (and not ok) when fewer are left.
    const uint8_t* bytes(size_t n) { return take(n) ? data_ + pos_ - n : nullptr; }
    void skip(size_t n) { (void)take(n); }

    bool ok() const { return ok_; }
    size_t position() const { return pos_; }
    size_t remaining() const { return ok_ ? size_ - pos_ : 0; }

private:
    bool take(size_t n) {
        if (!ok_ || n > size_ - pos_) {
            ok_ = false;
            return false;
        }
        pos_ += n;
        return true;
    }

    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    bool ok_ = true;
};

// Writes fields in order into `capacity` bytes, without allocating (the download path uses it).
// A field that does not fit is not written, and ok() is false from then on.
class ByteWriter {
public:
    ByteWriter(uint8_t* data, size_t capacity) : data_(data), capacity_(capacity) {}

    void u8(uint8_t v) {
        if (take(1)) {
            data_[pos_ - 1] = v;
        }
    }
    void u16(uint16_t v) {
        if (take(2)) {
            writeU16BE(v, data_ + pos_ - 2);
        }
    }
    void u24(uint32_t v) {
        if (take(3)) {
            data_[pos_ - 3] = static_cast<uint8_t>(v >> 16);
            writeU16BE(static_cast<uint16_t>(v), data_ + pos_ - 2);
        }
    }
    void u32(uint32_t v) {
        if (take(4)) {
            writeU32BE(v, data_ + pos_ - 4);
        }
    }
    void bytes(const uint8_t* p, size_t n) {
        if (take(n)) {
            for (size_t i = 0; i < n; ++i) {
                data_[pos_ - n + i] = p[i];
            }
        }
    }

    bool ok() const { return ok_; }
    size_t size() const { return pos_; }

private:
    bool take(size_t n) {
        if (!ok_ || n > capacity_ - pos_) {
            ok_ = false;
            return false;
        }
        pos_ += n;
        return true;
    }

    uint8_t* data_;
    size_t capacity_;
    size_t pos_ = 0;
    bool ok_ = true;
};

// Appends big-endian fields to a byte vector: for tools and tests that build messages.
inline void appendU8(std::vector<uint8_t>& out, uint8_t v) {
    out.push_back(v);
}
inline void appendU16BE(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}
inline void appendU24BE(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 16));
    appendU16BE(out, static_cast<uint16_t>(v));
}
inline void appendU32BE(std::vector<uint8_t>& out, uint32_t v) {
    appendU16BE(out, static_cast<uint16_t>(v >> 16));
    appendU16BE(out, static_cast<uint16_t>(v));
}
inline void appendU16LE(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

} // namespace kestrune
