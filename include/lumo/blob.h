// Byte buffer of the base library: a handle with its own read/write position over
// a shared copy-on-write storage, with little-endian typed readers and writers, the
// frame checksum that the RPC headers carry, and base16/base64 text forms.
#pragma once

#include <string>

#include "lumo/allocator.h"
#include "lumo/base_types.h"

class CL_Blob;

// Base of the objects that write themselves into a blob and read themselves back.
// Thread rules are those of the implementing class.
class CL_Flattenable : public CL_Object {
public:
    virtual ~CL_Flattenable() {}
    virtual void Flatten(CL_Blob& blob) const = 0;
    virtual bool Unflatten(CL_Blob& blob) = 0;
};

enum CL_SeekType {
    CL_SEEK_SET = 0,
    CL_SEEK_CUR = 1,
    CL_SEEK_END = 2,
};

enum CL_BLOB_Coding {
    CL_BLOB_CODING_BASE_16 = 0,
    CL_BLOB_CODING_BASE_64 = 1,
};

// Copy-on-write byte buffer. Copies share one storage until one of them changes it;
// up to 16 bytes of content live inside the storage record without a heap block.
// A blob made from bytes is positioned at its end; readers rewind it first.
// Threads: one blob object is used by one thread at a time (its position is a plain
// member). Blobs copied from one another may be used on different threads, since a
// change un-shares the storage first, with two exceptions that write while reading:
// c_str() un-shares and writes a NUL past the content, and the C-string reader writes
// that NUL into spare capacity even of a shared storage.
class CL_Blob : public CL_Flattenable {
public:
    // Largest content a blob can hold (the size is a 31-bit field).
    static constexpr uint32 kMaxSize = 0x7FFFFFFFu;
    static constexpr uint32 kInlineSize = 16;

    // Storage record shared by the blobs copied from one another; owned by their
    // handles (CL_RefCounted), changed only through a handle that holds it alone.
    class Buffer : public CL_Object {
    public:
        Buffer();
        explicit Buffer(uint32 size);
        // ownData: copy the bytes into storage of its own. Otherwise the storage uses
        // the caller's bytes in place, never frees them, and writers change them; the
        // caller keeps them alive (and unmoved) for as long as any copy uses them.
        Buffer(const void* data, uint32 size, bool ownData);
        // Out of memory, the copy is left without data: see CopyFailed.
        Buffer(const Buffer& copy);
        Buffer& operator=(const Buffer&) = delete;
        ~Buffer();

        // Sets the capacity to exactly `size`, keeping min(size, old size) bytes.
        // Returns false (and changes nothing) when no heap block can be had.
        bool Resize(uint32 size);
        // True for a copy that could not get its memory (the handle drops it).
        bool CopyFailed() const { return fData == nullptr; }

        uint8* fData;  // fInlineData, a heap block (fFreeData), or the caller's bytes
        uint32 fSize : 31;
        uint32 fFreeData : 1;
        uint32 fCapacity;
        uint8 fInlineData[kInlineSize];
    };

    CL_Blob();
    explicit CL_Blob(uint32 size);
    // ownData false: the blob works on the caller's bytes in place (see Buffer).
    CL_Blob(const void* buffer, uint32 size, bool ownData = true);
    CL_Blob(const std::string& data);
    CL_Blob(const char* data);
    CL_Blob(const CL_Blob& other);
    CL_Blob& operator=(const CL_Blob& other);
    virtual ~CL_Blob();

    // Position and size.
    uint32 Tell() const { return fPos; }
    bool EOB() const;
    CL_Blob& Rewind();
    uint32 GetSize() const;
    uint32 GetCapacity() const;
    uint64 GetMemoryUsage() const;
    uint32 Seek(int32 offset, CL_SeekType type);
    void SetSize(uint32 size);
    void Clear(bool shrink = false);
    void Shrink();
    void SetCapacity(uint32 size);
    // Reserves room for `size` more bytes past the content without changing it.
    void Expand(uint32 size);

    // Raw access.
    const uint8* GetDataForRead() const;
    uint8* GetDataForWrite();
    uint8* GetData() { return GetDataForWrite(); }
    void Detach();
    void SetData(const void* data);
    void Set(const void* data, uint32 size);
    // The content NUL-terminated. Const, yet it may un-share the storage and write the
    // NUL past the content: not a pure read (see the thread rules above).
    const char* c_str() const;
    uint8& operator[](int32 index);
    std::string Raw() const;
    bool operator==(const CL_Blob& other) const;
    bool operator!=(const CL_Blob& other) const { return !(*this == other); }

    // Block transfer at the position. Counts are what was actually moved; a
    // transfer that would pass the size limit moves nothing and returns 0.
    uint32 Peek(void* buffer, uint32 size);
    uint32 Read(void* buffer, uint32 size);
    uint32 Peek(CL_Blob& buffer, uint32 size);
    uint32 Read(CL_Blob& buffer, uint32 size);
    uint32 Write(const void* buffer, uint32 size);
    uint32 Write(CL_Blob& buffer, uint32 size);
    uint32 Append(const void* data, uint32 size);
    uint32 Append(const CL_Blob& data);
    uint32 Prepend(const void* data, uint32 size);
    uint32 Prepend(const CL_Blob& data);

    // Typed writers: write at the position, overwriting and extending as needed.
    CL_Blob& operator+=(bool value);
    CL_Blob& operator+=(int8 value);
    CL_Blob& operator+=(uint8 value);
    CL_Blob& operator+=(int16 value);
    CL_Blob& operator+=(uint16 value);
    CL_Blob& operator+=(int32 value);
    CL_Blob& operator+=(uint32 value);
    CL_Blob& operator+=(int64 value);
    CL_Blob& operator+=(uint64 value);
    CL_Blob& operator+=(double value);
    CL_Blob& operator+=(const char* value);
    CL_Blob& operator+=(const std::string& value);
    CL_Blob& operator+=(const void* value);
    CL_Blob& operator+=(const CL_Blob& value);

    CL_Blob& operator<<(bool value) { return *this += value; }
    CL_Blob& operator<<(int8 value) { return *this += value; }
    CL_Blob& operator<<(uint8 value) { return *this += value; }
    CL_Blob& operator<<(int16 value) { return *this += value; }
    CL_Blob& operator<<(uint16 value) { return *this += value; }
    CL_Blob& operator<<(int32 value) { return *this += value; }
    CL_Blob& operator<<(uint32 value) { return *this += value; }
    CL_Blob& operator<<(int64 value) { return *this += value; }
    CL_Blob& operator<<(uint64 value) { return *this += value; }
    CL_Blob& operator<<(double value) { return *this += value; }
    CL_Blob& operator<<(const char* value) { return *this += value; }
    CL_Blob& operator<<(const std::string& value) { return *this += value; }
    CL_Blob& operator<<(const void* value) { return *this += value; }
    CL_Blob& operator<<(const CL_Blob& value) { return *this += value; }

    // Serialisation: a uint32 byte count, then the bytes.
    void Flatten(CL_Blob& blob) const override;
    bool Unflatten(CL_Blob& blob) override;

    // Checks and digests of the whole content, independent of the position.
    uint32 CheckSum() const;
    uint32 CRC32() const;
    std::string MD5() const;
    std::string SHA1() const;
    std::string SHA256() const;

    // Replaces the bytes from the position on by their zlib stream.
    void Compress();
    // Replaces the whole blob by the inflated form of the zlib stream it holds.
    bool Uncompress(bool returnPartial);

    std::string Encode(CL_BLOB_Coding coding) const;
    bool Decode(const std::string& data, CL_BLOB_Coding coding);
    std::string Dump(uint32 maxSize, bool pretty) const;

    // Used by the typed reader of C strings.
    friend const char*& operator<<(const char*& value, CL_Blob& blob);

protected:
    // Address where a writer of `size` bytes writes, at the position or (absolute)
    // at 0; grows the storage as needed. Null when the end would pass kMaxSize or
    // no memory can be had: nothing is changed then.
    uint8* MakeRoom(uint32 size, bool absolute);

private:
    const Buffer* Storage() const { return fBuffer.GetRefData(); }
    Buffer* MutableStorage() { return fBuffer.ModifyRefData(); }
    template <class T>
    CL_Blob& WriteScalar(T value);
    // True when `p` points into a storage that this blob alone holds, so that
    // growing it would pull the bytes away from under the caller.
    bool AliasesSoleStorage(const void* p) const;

    CL_RefCounted<Buffer> fBuffer;  // copy-on-write storage
    uint32 fPos;
};

// Typed readers: read one value at the blob's position. When too few bytes remain
// the value becomes 0 (false, null, empty) and the position does not move.
bool& operator<<(bool& value, CL_Blob& blob);
int8& operator<<(int8& value, CL_Blob& blob);
uint8& operator<<(uint8& value, CL_Blob& blob);
int16& operator<<(int16& value, CL_Blob& blob);
uint16& operator<<(uint16& value, CL_Blob& blob);
int32& operator<<(int32& value, CL_Blob& blob);
uint32& operator<<(uint32& value, CL_Blob& blob);
int64& operator<<(int64& value, CL_Blob& blob);
uint64& operator<<(uint64& value, CL_Blob& blob);
double& operator<<(double& value, CL_Blob& blob);
void*& operator<<(void*& value, CL_Blob& blob);
std::string& operator<<(std::string& value, CL_Blob& blob);
// Points into the blob's storage; valid until that storage changes or is released. A
// text without its NUL gets one written past the content, in spare capacity even of a
// shared storage.
const char*& operator<<(const char*& value, CL_Blob& blob);

// Sets the size to the position plus `count` and fills those bytes with random
// data; the position does not move. Returns CL_OK or CL_ERROR.
CL_Status CL_GetRandomBytes(CL_Blob& blob, uint32 count);
