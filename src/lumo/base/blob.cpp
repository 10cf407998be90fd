// Byte buffer: storage record, growth, positioned transfers and typed readers/writers.
#include "lumo/blob.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "lumo/base/byte_order.h"

namespace {

typedef CL_Blob::Buffer Buffer;

// Capacity for a write that ends at `end`: a quarter more, rounded up to 4 bytes.
uint32 GrownCapacity(uint64 end) {
    uint64 cap = end * 5 / 4;
    cap = (cap + 3) & ~uint64(3);
    if (cap < 4) cap = 4;
    if (cap > CL_Blob::kMaxSize) cap = std::max<uint64>(end, CL_Blob::kMaxSize);
    return static_cast<uint32>(cap);
}

using lumo_bytes::LoadLE;
using lumo_bytes::StoreLE;

}  // namespace

// ---------------------------------------------------------------------------
// Storage record

CL_Blob::Buffer::Buffer() : fData(fInlineData), fSize(0), fFreeData(0), fCapacity(kInlineSize) {}

CL_Blob::Buffer::Buffer(uint32 size)
    : fData(fInlineData), fSize(0), fFreeData(0), fCapacity(kInlineSize) {
    if (size > kMaxSize) return;
    if (size > kInlineSize) {
        uint8* block = static_cast<uint8*>(malloc(size));
        if (!block) return;
        fData = block;
        fFreeData = 1;
        fCapacity = size;
    }
    fSize = size;
}

CL_Blob::Buffer::Buffer(const void* data, uint32 size, bool ownData)
    : fData(fInlineData), fSize(0), fFreeData(0), fCapacity(kInlineSize) {
    if (size > kMaxSize || (!data && size)) return;
    if (!ownData && data) {
        fData = static_cast<uint8*>(const_cast<void*>(data));
        fCapacity = size;
        fSize = size;
        return;
    }
    if (size > kInlineSize) {
        uint8* block = static_cast<uint8*>(malloc(size));
        if (!block) return;
        fData = block;
        fFreeData = 1;
        fCapacity = size;
    }
    if (size) memcpy(fData, data, size);
    fSize = size;
}

CL_Blob::Buffer::Buffer(const Buffer& copy)
    : CL_Object(), fData(fInlineData), fSize(copy.fSize), fFreeData(0), fCapacity(copy.fCapacity) {
    // The capacity decides, not the size: a storage over the caller's bytes that was
    // cut to a few bytes still lets writers fill its whole capacity.
    if (copy.fFreeData || copy.fCapacity > kInlineSize) {
        fData = static_cast<uint8*>(malloc(copy.fCapacity ? copy.fCapacity : 1));
        if (!fData) {
            // Out of memory: CopyFailed() tells the handle to drop this copy.
            fSize = 0;
            fCapacity = 0;
            return;
        }
        fFreeData = 1;
    }
    if (copy.fSize) memcpy(fData, copy.fData, copy.fSize);
}

CL_Blob::Buffer::~Buffer() {
    if (fFreeData) free(fData);
}

bool CL_Blob::Buffer::Resize(uint32 size) {
    uint32 keep = std::min<uint32>(fSize, size);
    if (size > kInlineSize) {
        if (fFreeData) {
            uint8* block = static_cast<uint8*>(realloc(fData, size));
            if (!block) return false;
            fData = block;
        } else {
            uint8* block = static_cast<uint8*>(malloc(size));
            if (!block) return false;
            if (keep) memcpy(block, fData, keep);
            fData = block;
            fFreeData = 1;
        }
    } else if (fData != fInlineData) {
        if (keep) memmove(fInlineData, fData, keep);
        if (fFreeData) free(fData);
        fData = fInlineData;
        fFreeData = 0;
    }
    fCapacity = size;
    fSize = keep;
    return true;
}

// ---------------------------------------------------------------------------
// Construction

CL_Blob::CL_Blob() : fPos(0) {}

CL_Blob::CL_Blob(uint32 size) : fBuffer(new Buffer(size)), fPos(0) {}

CL_Blob::CL_Blob(const void* buffer, uint32 size, bool ownData)
    : fBuffer(new Buffer(buffer, size, ownData)), fPos(0) {
    fPos = Storage()->fSize;
}

CL_Blob::CL_Blob(const std::string& data)
    : CL_Blob(data.data(), static_cast<uint32>(std::min<size_t>(data.size(), kMaxSize)), true) {}

CL_Blob::CL_Blob(const char* data)
    : CL_Blob(data ? data : "",
              data ? static_cast<uint32>(std::min<size_t>(strlen(data), kMaxSize)) : 0, true) {}

CL_Blob::CL_Blob(const CL_Blob& other)
    : CL_Flattenable(), fBuffer(other.fBuffer), fPos(other.fPos) {}

CL_Blob& CL_Blob::operator=(const CL_Blob& other) {
    fBuffer = other.fBuffer;
    fPos = other.fPos;
    return *this;
}

CL_Blob::~CL_Blob() {}

// ---------------------------------------------------------------------------
// Position and size

bool CL_Blob::EOB() const {
    return fPos >= Storage()->fSize;
}

CL_Blob& CL_Blob::Rewind() {
    Seek(0, CL_SEEK_SET);
    return *this;
}

uint32 CL_Blob::GetSize() const {
    return Storage()->fSize;
}

uint32 CL_Blob::GetCapacity() const {
    return Storage()->fCapacity;
}

uint64 CL_Blob::GetMemoryUsage() const {
    const Buffer* b = Storage();
    return b->fFreeData ? 64 + uint64(b->fCapacity) : 64;
}

uint32 CL_Blob::Seek(int32 offset, CL_SeekType type) {
    int64 size = Storage()->fSize;
    int64 target;
    switch (type) {
        case CL_SEEK_SET:
            target = offset;
            break;
        case CL_SEEK_CUR:
            target = int64(fPos) + offset;
            break;
        case CL_SEEK_END:
            target = size + offset;
            break;
        default:
            target = 0;
            break;
    }
    if (target < 0) target = 0;
    if (target > size) target = size;
    fPos = static_cast<uint32>(target);
    return fPos;
}

void CL_Blob::SetSize(uint32 size) {
    if (size > kMaxSize) return;
    Buffer* b = MutableStorage();
    if (!b) return;
    if (size > b->fSize) {
        if (!MakeRoom(size, true)) return;
        b = MutableStorage();
    }
    b->fSize = size;
    if (fPos > size) fPos = size;
}

void CL_Blob::Clear(bool shrink) {
    fPos = 0;
    Buffer* b = MutableStorage();
    if (!b) {
        // No memory for a copy of a shared storage: letting go of it empties too.
        fBuffer = CL_RefCounted<Buffer>();
        return;
    }
    b->fSize = 0;
    if (shrink) b->Resize(kInlineSize);
}

void CL_Blob::Shrink() {
    Buffer* b = MutableStorage();
    if (b) b->Resize(b->fSize);
}

void CL_Blob::SetCapacity(uint32 size) {
    if (size > kMaxSize) return;
    Buffer* b = MutableStorage();
    if (b && b->fCapacity < size) b->Resize(size);
}

void CL_Blob::Expand(uint32 size) {
    uint64 want = uint64(GetSize()) + size;
    if (want <= kMaxSize) SetCapacity(static_cast<uint32>(want));
}

uint8* CL_Blob::MakeRoom(uint32 size, bool absolute) {
    uint64 start = absolute ? 0 : fPos;
    uint64 end = start + size;
    if (end > kMaxSize) return nullptr;
    Buffer* b = MutableStorage();
    if (!b) return nullptr;
    if (b->fCapacity < end && !b->Resize(GrownCapacity(end))) return nullptr;
    if (end > b->fSize) b->fSize = static_cast<uint32>(end);
    return b->fData + start;
}

// ---------------------------------------------------------------------------
// Raw access

const uint8* CL_Blob::GetDataForRead() const {
    return Storage()->fData;
}

uint8* CL_Blob::GetDataForWrite() {
    Buffer* b = MutableStorage();
    return b ? b->fData : nullptr;
}

void CL_Blob::Detach() {
    MutableStorage();
}

void CL_Blob::SetData(const void* data) {
    Buffer* b = MutableStorage();
    if (!b) return;
    // memmove: the source may be this very storage.
    if (data && b->fSize) memmove(b->fData, data, b->fSize);
    fPos = 0;
}

bool CL_Blob::AliasesSoleStorage(const void* p) const {
    const Buffer* b = Storage();
    // A shared storage survives this blob's growth in its other holders.
    if (!p || fBuffer.GetRefCount() > 1) return false;
    std::less_equal<const void*> le;
    std::less<const void*> lt;
    return le(static_cast<const void*>(b->fData), p) &&
           lt(p, static_cast<const void*>(b->fData + b->fCapacity));
}

void CL_Blob::Set(const void* data, uint32 size) {
    if (size > kMaxSize) return;
    if (AliasesSoleStorage(data)) {
        std::string copy(static_cast<const char*>(data), size);
        SetSize(size);
        if (GetSize() == size) SetData(copy.data());
        return;
    }
    SetSize(size);
    if (GetSize() == size) SetData(data);
}

const char* CL_Blob::c_str() const {
    const Buffer* b = Storage();
    if (b->fSize == 0) return "";
    if (b->fCapacity > b->fSize && b->fData[b->fSize] == 0)
        return reinterpret_cast<const char*>(b->fData);
    CL_Blob* self = const_cast<CL_Blob*>(this);
    Buffer* m = self->MutableStorage();
    // Raising the capacity by one leaves room for the NUL past the content.
    if (!m || (m->fCapacity <= m->fSize && !m->Resize(m->fSize + 1))) return "";
    m->fData[m->fSize] = 0;
    return reinterpret_cast<const char*>(m->fData);
}

uint8& CL_Blob::operator[](int32 index) {
    static thread_local uint8 sSpare;
    Buffer* b = MutableStorage();
    if (!b || index < 0 || uint32(index) >= b->fSize) {
        sSpare = 0;
        return sSpare;
    }
    return b->fData[index];
}

std::string CL_Blob::Raw() const {
    const Buffer* b = Storage();
    return std::string(reinterpret_cast<const char*>(b->fData), b->fSize);
}

bool CL_Blob::operator==(const CL_Blob& other) const {
    const Buffer* a = Storage();
    const Buffer* b = other.Storage();
    if (a == b) return true;
    return a->fSize == b->fSize && (a->fSize == 0 || memcmp(a->fData, b->fData, a->fSize) == 0);
}

// ---------------------------------------------------------------------------
// Block transfer

uint32 CL_Blob::Peek(void* buffer, uint32 size) {
    const Buffer* b = Storage();
    uint32 left = fPos < b->fSize ? b->fSize - fPos : 0;
    uint32 count = std::min(size, left);
    if (count) memcpy(buffer, b->fData + fPos, count);
    return count;
}

uint32 CL_Blob::Read(void* buffer, uint32 size) {
    uint32 count = Peek(buffer, size);
    fPos += count;
    return count;
}

uint32 CL_Blob::Peek(CL_Blob& buffer, uint32 size) {
    // Hold our bytes while the destination grows: it may be this very blob.
    CL_Blob source(*this);
    const Buffer* b = source.Storage();
    uint32 left = fPos < b->fSize ? b->fSize - fPos : 0;
    uint32 count = std::min(size, left);
    uint64 oldEnd = buffer.GetSize();
    uint64 start = buffer.fPos;
    uint8* dst = buffer.MakeRoom(size, false);
    if (!dst) return 0;
    if (count) memmove(dst, b->fData + fPos, count);
    // Room the destination grew by and the copy did not fill must not carry stale
    // heap bytes out to the wire; its own bytes past the copy stay as they were.
    uint64 fillFrom = std::max(start + count, oldEnd);
    if (start + size > fillFrom) memset(dst + (fillFrom - start), 0, start + size - fillFrom);
    return count;
}

uint32 CL_Blob::Read(CL_Blob& buffer, uint32 size) {
    uint32 pos = fPos;
    uint32 count = Peek(buffer, size);
    fPos = pos + count;
    return count;
}

uint32 CL_Blob::Write(const void* buffer, uint32 size) {
    if (size == 0 || !buffer) return 0;
    if (AliasesSoleStorage(buffer)) {
        std::string copy(static_cast<const char*>(buffer), size);
        return Write(copy.data(), size);
    }
    uint8* dst = MakeRoom(size, false);
    if (!dst) return 0;
    memcpy(dst, buffer, size);
    fPos += size;
    return size;
}

uint32 CL_Blob::Write(CL_Blob& buffer, uint32 size) {
    CL_Blob source(buffer);
    const Buffer* b = source.Storage();
    uint32 left = buffer.fPos < b->fSize ? b->fSize - buffer.fPos : 0;
    uint32 count = std::min(size, left);
    if (count == 0) return 0;
    uint32 written = Write(b->fData + buffer.fPos, count);
    if (&buffer != this) buffer.fPos += written;
    return written;
}

uint32 CL_Blob::Append(const void* data, uint32 size) {
    if (size == 0 || !data) return 0;
    if (AliasesSoleStorage(data)) {
        std::string copy(static_cast<const char*>(data), size);
        return Append(copy.data(), size);
    }
    uint64 old = GetSize();
    if (old + size > kMaxSize) return 0;
    uint8* dst = MakeRoom(static_cast<uint32>(old + size), true);
    if (!dst) return 0;
    memcpy(dst + old, data, size);
    return size;
}

uint32 CL_Blob::Append(const CL_Blob& data) {
    CL_Blob source(data);
    return Append(source.GetDataForRead(), source.GetSize());
}

uint32 CL_Blob::Prepend(const void* data, uint32 size) {
    if (size == 0 || !data) return 0;
    if (AliasesSoleStorage(data)) {
        std::string copy(static_cast<const char*>(data), size);
        return Prepend(copy.data(), size);
    }
    uint64 old = GetSize();
    if (old + size > kMaxSize) return 0;
    uint8* dst = MakeRoom(static_cast<uint32>(old + size), true);
    if (!dst) return 0;
    memmove(dst + size, dst, old);
    memcpy(dst, data, size);
    fPos += size;
    return size;
}

uint32 CL_Blob::Prepend(const CL_Blob& data) {
    CL_Blob source(data);
    return Prepend(source.GetDataForRead(), source.GetSize());
}

// ---------------------------------------------------------------------------
// Typed writers

template <class T>
CL_Blob& CL_Blob::WriteScalar(T value) {
    uint8 bytes[sizeof(T)];
    StoreLE(bytes, value);
    Write(bytes, sizeof(T));
    return *this;
}

CL_Blob& CL_Blob::operator+=(bool value) {
    return WriteScalar<uint8>(value ? 0xFB : 0x00);
}
CL_Blob& CL_Blob::operator+=(int8 value) {
    return WriteScalar(value);
}
CL_Blob& CL_Blob::operator+=(uint8 value) {
    return WriteScalar(value);
}
CL_Blob& CL_Blob::operator+=(int16 value) {
    return WriteScalar(value);
}
CL_Blob& CL_Blob::operator+=(uint16 value) {
    return WriteScalar(value);
}
CL_Blob& CL_Blob::operator+=(int32 value) {
    return WriteScalar(value);
}
CL_Blob& CL_Blob::operator+=(uint32 value) {
    return WriteScalar(value);
}
CL_Blob& CL_Blob::operator+=(int64 value) {
    return WriteScalar(value);
}
CL_Blob& CL_Blob::operator+=(uint64 value) {
    return WriteScalar(value);
}
CL_Blob& CL_Blob::operator+=(double value) {
    return WriteScalar(std::bit_cast<uint64>(value));
}
CL_Blob& CL_Blob::operator+=(const void* value) {
    return WriteScalar(static_cast<uint64>(reinterpret_cast<uintptr_t>(value)));
}

CL_Blob& CL_Blob::operator+=(const char* value) {
    if (!value) value = "";
    size_t len = strlen(value);
    if (len >= kMaxSize) return *this;
    Write(value, static_cast<uint32>(len + 1));
    return *this;
}

CL_Blob& CL_Blob::operator+=(const std::string& value) {
    if (value.size() >= kMaxSize) return *this;
    uint32 len = static_cast<uint32>(value.size());
    if (AliasesSoleStorage(value.data())) {
        std::string copy(value);
        return *this += copy;
    }
    uint8* dst = MakeRoom(len + 1, false);
    if (!dst) return *this;
    if (len) memcpy(dst, value.data(), len);
    dst[len] = 0;
    fPos += len + 1;
    return *this;
}

CL_Blob& CL_Blob::operator+=(const CL_Blob& value) {
    CL_Blob source(value);
    const Buffer* b = source.Storage();
    if (value.fPos < b->fSize) Write(b->fData + value.fPos, b->fSize - value.fPos);
    return *this;
}

// ---------------------------------------------------------------------------
// Typed readers

namespace {

template <class T>
T ReadScalar(CL_Blob& blob) {
    uint8 bytes[sizeof(T)];
    uint32 size = blob.GetSize();
    uint32 pos = blob.Tell();
    if (pos >= size || size - pos < sizeof(T)) return T(0);
    blob.Read(bytes, sizeof(T));
    return LoadLE<T>(bytes);
}

}  // namespace

bool& operator<<(bool& value, CL_Blob& blob) {
    return value = ReadScalar<uint8>(blob) != 0;
}
int8& operator<<(int8& value, CL_Blob& blob) {
    return value = ReadScalar<int8>(blob);
}
uint8& operator<<(uint8& value, CL_Blob& blob) {
    return value = ReadScalar<uint8>(blob);
}
int16& operator<<(int16& value, CL_Blob& blob) {
    return value = ReadScalar<int16>(blob);
}
uint16& operator<<(uint16& value, CL_Blob& blob) {
    return value = ReadScalar<uint16>(blob);
}
int32& operator<<(int32& value, CL_Blob& blob) {
    return value = ReadScalar<int32>(blob);
}
uint32& operator<<(uint32& value, CL_Blob& blob) {
    return value = ReadScalar<uint32>(blob);
}
int64& operator<<(int64& value, CL_Blob& blob) {
    return value = ReadScalar<int64>(blob);
}
uint64& operator<<(uint64& value, CL_Blob& blob) {
    return value = ReadScalar<uint64>(blob);
}

double& operator<<(double& value, CL_Blob& blob) {
    return value = std::bit_cast<double>(ReadScalar<uint64>(blob));
}

void*& operator<<(void*& value, CL_Blob& blob) {
    return value = reinterpret_cast<void*>(static_cast<uintptr_t>(ReadScalar<uint64>(blob)));
}

std::string& operator<<(std::string& value, CL_Blob& blob) {
    uint32 size = blob.GetSize();
    uint32 pos = blob.Tell();
    if (pos >= size) {
        value.clear();
        return value;
    }
    const char* start = reinterpret_cast<const char*>(blob.GetDataForRead()) + pos;
    const char* nul = static_cast<const char*>(memchr(start, 0, size - pos));
    if (nul) {
        value.assign(start, nul - start);
        blob.Seek(int32(pos + uint32(nul - start) + 1), CL_SEEK_SET);
    } else {
        value.assign(start, size - pos);
        blob.Seek(0, CL_SEEK_END);
    }
    return value;
}

const char*& operator<<(const char*& value, CL_Blob& blob) {
    const CL_Blob::Buffer* b = blob.Storage();
    uint32 pos = blob.fPos;
    if (pos >= b->fSize) {
        value = "";
        return value;
    }
    const uint8* start = b->fData + pos;
    const void* nul = memchr(start, 0, b->fSize - pos);
    if (nul) {
        value = reinterpret_cast<const char*>(start);
        blob.fPos = pos + uint32(static_cast<const uint8*>(nul) - start) + 1;
        return value;
    }
    if (b->fCapacity > b->fSize) {
        // The byte past the content belongs to no blob's content, also when shared.
        const_cast<uint8*>(b->fData)[b->fSize] = 0;
    } else {
        CL_Blob::Buffer* m = blob.MutableStorage();
        if (!m || !m->Resize(m->fSize + 1)) {
            value = "";
            return value;
        }
        m->fData[m->fSize] = 0;
        b = m;
    }
    value = reinterpret_cast<const char*>(b->fData + pos);
    blob.fPos = b->fSize;
    return value;
}

// ---------------------------------------------------------------------------
// Serialisation

void CL_Blob::Flatten(CL_Blob& blob) const {
    CL_Blob self(*this);
    const Buffer* b = self.Storage();
    // A count without its bytes would misframe everything read after it.
    if (uint64(blob.fPos) + 4 + b->fSize > kMaxSize) return;
    blob += static_cast<uint32>(b->fSize);
    blob.Write(b->fData, b->fSize);
}

bool CL_Blob::Unflatten(CL_Blob& blob) {
    uint32 count = 0;
    count << blob;
    CL_Blob source(blob);
    const Buffer* b = source.Storage();
    uint32 start = blob.fPos;
    uint32 left = start < b->fSize ? b->fSize - start : 0;
    if (count > left) return false;
    fPos = 0;
    if (count && Write(b->fData + start, count) != count) {
        fPos = 0;
        return false;
    }
    fPos = 0;
    blob.fPos = start + count;
    return true;
}
