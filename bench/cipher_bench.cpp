// Throughput of the ciphers, digests, compressor and dispatcher, each next to its
// reference: OpenSSL (loaded at run time, so the library itself never links it) for
// AES-128-ECB and the digests, plain zlib calls for the compressor.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <zlib.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "lumo/blob.h"
#include "lumo/cipher.h"
#include "lumo/platform/cipher_internal.h"
#include "lumo/digest.h"
#include "lumo/platform/digest_internal.h"
#include "lumo/dispatcher.h"

namespace {

constexpr size_t kMiB = 1 << 20;

std::string Data(size_t n) {
    std::string s(n, '\0');
    uint32 x = 7;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245 + 12345;
        s[i] = char(x >> 24);
    }
    return s;
}

// Compressible text, like a flattened table of records.
std::string Text(size_t n) {
    std::string s;
    for (int i = 0; s.size() < n; ++i)
        s += "record " + std::to_string(i) + " name=customer" + std::to_string(i % 97) +
             " amount=" + std::to_string(i * 37 % 10000) + "\n";
    s.resize(n);
    return s;
}

// The few OpenSSL entry points used here, looked up in libcrypto.
struct OpenSSL {
    void* lib = nullptr;
    void* (*ctxNew)() = nullptr;
    void (*ctxFree)(void*) = nullptr;
    const void* (*aes128ecb)() = nullptr;
    int (*encInit)(void*, const void*, void*, const unsigned char*, const unsigned char*) = nullptr;
    int (*setPadding)(void*, int) = nullptr;
    int (*encUpdate)(void*, unsigned char*, int*, const unsigned char*, int) = nullptr;
    unsigned char* (*md5)(const unsigned char*, size_t, unsigned char*) = nullptr;
    unsigned char* (*sha1)(const unsigned char*, size_t, unsigned char*) = nullptr;
    unsigned char* (*sha256)(const unsigned char*, size_t, unsigned char*) = nullptr;

    OpenSSL() {
        lib = dlopen("libcrypto.so.3", RTLD_NOW);
        if (!lib) return;
        ctxNew = reinterpret_cast<decltype(ctxNew)>(dlsym(lib, "EVP_CIPHER_CTX_new"));
        ctxFree = reinterpret_cast<decltype(ctxFree)>(dlsym(lib, "EVP_CIPHER_CTX_free"));
        aes128ecb = reinterpret_cast<decltype(aes128ecb)>(dlsym(lib, "EVP_aes_128_ecb"));
        encInit = reinterpret_cast<decltype(encInit)>(dlsym(lib, "EVP_EncryptInit_ex"));
        setPadding =
            reinterpret_cast<decltype(setPadding)>(dlsym(lib, "EVP_CIPHER_CTX_set_padding"));
        encUpdate = reinterpret_cast<decltype(encUpdate)>(dlsym(lib, "EVP_EncryptUpdate"));
        md5 = reinterpret_cast<decltype(md5)>(dlsym(lib, "MD5"));
        sha1 = reinterpret_cast<decltype(sha1)>(dlsym(lib, "SHA1"));
        sha256 = reinterpret_cast<decltype(sha256)>(dlsym(lib, "SHA256"));
    }
    bool Ok() const { return ctxNew && ctxFree && aes128ecb && encInit && setPadding && encUpdate; }
};

OpenSSL& SSL() {
    static OpenSSL ssl;
    return ssl;
}

// ---- AES -------------------------------------------------------------------

void BM_AES_Encrypt_Lumo(benchmark::State& state) {
    CL_AESCipher aes;
    CL_Blob key("0123456789abcdef");
    aes.SetKey(key);
    CL_Blob blob(Data(kMiB));
    blob.Rewind();
    for (auto _ : state) {
        aes.Encrypt(blob, 0xFFFFFFFF);
        benchmark::DoNotOptimize(blob.GetDataForRead());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kMiB);
}
BENCHMARK(BM_AES_Encrypt_Lumo);

void BM_AES_Encrypt_LumoPortable(benchmark::State& state) {
    uint32 key[4] = {1, 2, 3, 4}, enc[44], dec[44];
    lumo_aes::ExpandKey(key, enc, dec);
    std::string data = Data(kMiB);
    for (auto _ : state) {
        lumo_aes::EncryptPortable(enc, reinterpret_cast<uint8*>(&data[0]), kMiB / 16);
        benchmark::DoNotOptimize(data.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kMiB);
}
BENCHMARK(BM_AES_Encrypt_LumoPortable);

void BM_AES_Encrypt_OpenSSL(benchmark::State& state) {
    OpenSSL& ssl = SSL();
    if (!ssl.Ok()) {
        state.SkipWithError("libcrypto.so.3 not available");
        return;
    }
    void* ctx = ssl.ctxNew();
    const unsigned char key[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
                                   '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
    ssl.encInit(ctx, ssl.aes128ecb(), nullptr, key, nullptr);
    ssl.setPadding(ctx, 0);
    std::string in = Data(kMiB), out(kMiB, '\0');
    for (auto _ : state) {
        int len = 0;
        ssl.encUpdate(ctx, reinterpret_cast<unsigned char*>(&out[0]), &len,
                      reinterpret_cast<const unsigned char*>(in.data()), int(kMiB));
        benchmark::DoNotOptimize(out.data());
    }
    ssl.ctxFree(ctx);
    state.SetBytesProcessed(int64_t(state.iterations()) * kMiB);
}
BENCHMARK(BM_AES_Encrypt_OpenSSL);

void BM_TEA_Encrypt_Lumo(benchmark::State& state) {
    CL_TEACipher tea;
    CL_Blob blob(Data(kMiB));
    blob.Rewind();
    for (auto _ : state)
        tea.Encrypt(blob, 0xFFFFFFFF);
    state.SetBytesProcessed(int64_t(state.iterations()) * kMiB);
}
BENCHMARK(BM_TEA_Encrypt_Lumo);

void BM_Blowfish_Encrypt_Lumo(benchmark::State& state) {
    CL_BlowfishCipher bf;
    CL_Blob blob(Data(kMiB));
    blob.Rewind();
    for (auto _ : state)
        bf.Encrypt(blob, 0xFFFFFFFF);
    state.SetBytesProcessed(int64_t(state.iterations()) * kMiB);
}
BENCHMARK(BM_Blowfish_Encrypt_Lumo);

// ---- Digests ---------------------------------------------------------------

enum Which { kMD5, kSHA1, kSHA256 };

void BM_Digest_Lumo(benchmark::State& state) {
    std::string data = Data(kMiB);
    const uint8* p = reinterpret_cast<const uint8*>(data.data());
    uint8 out[32];
    for (auto _ : state) {
        switch (state.range(0)) {
            case kMD5:
                lumo_digest::MD5(p, kMiB, out);
                break;
            case kSHA1:
                lumo_digest::SHA1(p, kMiB, out);
                break;
            default:
                lumo_digest::SHA256(p, kMiB, out);
        }
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kMiB);
}
BENCHMARK(BM_Digest_Lumo)->Arg(kMD5)->Arg(kSHA1)->Arg(kSHA256);

void BM_Digest_OpenSSL(benchmark::State& state) {
    OpenSSL& ssl = SSL();
    auto fn = state.range(0) == kMD5 ? ssl.md5 : state.range(0) == kSHA1 ? ssl.sha1 : ssl.sha256;
    if (!fn) {
        state.SkipWithError("libcrypto.so.3 not available");
        return;
    }
    std::string data = Data(kMiB);
    unsigned char out[32];
    for (auto _ : state) {
        fn(reinterpret_cast<const unsigned char*>(data.data()), kMiB, out);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kMiB);
}
BENCHMARK(BM_Digest_OpenSSL)->Arg(kMD5)->Arg(kSHA1)->Arg(kSHA256);

// ---- Compressor ------------------------------------------------------------

void BM_Compress_Lumo(benchmark::State& state) {
    std::string text = Text(kMiB);
    for (auto _ : state) {
        CL_Blob blob(text);
        blob.Rewind();
        blob.Compress();
        benchmark::DoNotOptimize(blob.GetDataForRead());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kMiB);
}
BENCHMARK(BM_Compress_Lumo);

void BM_Compress_Zlib(benchmark::State& state) {
    std::string text = Text(kMiB);
    for (auto _ : state) {
        uLongf len = compressBound(kMiB);
        std::string out(len, '\0');
        compress2(reinterpret_cast<Bytef*>(&out[0]), &len,
                  reinterpret_cast<const Bytef*>(text.data()), kMiB, Z_DEFAULT_COMPRESSION);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kMiB);
}
BENCHMARK(BM_Compress_Zlib);

void BM_Uncompress_Lumo(benchmark::State& state) {
    CL_Blob packed(Text(kMiB));
    packed.Rewind();
    packed.Compress();
    for (auto _ : state) {
        CL_Blob blob = packed;
        blob.Uncompress(false);
        benchmark::DoNotOptimize(blob.GetDataForRead());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kMiB);
}
BENCHMARK(BM_Uncompress_Lumo);

void BM_Uncompress_Zlib(benchmark::State& state) {
    CL_Blob packed(Text(kMiB));
    packed.Rewind();
    packed.Compress();
    for (auto _ : state) {
        std::string out(kMiB, '\0');
        uLongf len = kMiB;
        uncompress(reinterpret_cast<Bytef*>(&out[0]), &len, packed.GetDataForRead(),
                   packed.GetSize());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kMiB);
}
BENCHMARK(BM_Uncompress_Zlib);

// ---- Dispatcher ------------------------------------------------------------

// Empty jobs from 1 to 8 producer threads on the module's pool (8 base, 128 max).
void BM_Dispatcher_EmptyJobs(benchmark::State& state) {
    const int producers = int(state.range(0));
    const int perProducer = 2000;
    CL_Dispatcher dispatcher(8, 128);
    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (int p = 0; p < producers; ++p)
            threads.emplace_back([&] {
                for (int i = 0; i < perProducer; ++i)
                    dispatcher.AddJob(new CL_Job, true);
            });
        for (auto& t : threads)
            t.join();
        dispatcher.WaitForJobs(CL_WAIT_FOREVER);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * producers * perProducer);
}
BENCHMARK(BM_Dispatcher_EmptyJobs)->DenseRange(1, 8)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
