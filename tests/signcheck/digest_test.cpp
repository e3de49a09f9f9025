// MD5 and SHA-256 against the published vectors, each fed four ways, and against hashlib on
// random inputs. SHA-256 runs once per block function.
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "digest_test_util.h"
#include "digest_vectors.h"
#include "signcheck/md5.h"
#include "signcheck/sha256.h"
#include "signcheck/sha256_dispatch.h"

namespace {

struct Md5Algorithm {
  using Context = MD5CTX;
  static void Init(Context* c) { Md5Init(c); }
  static void Update(Context* c, const uint8_t* data, uint32_t length) { Md5Update(c, data, length); }
  static std::string Final(Context* c) {
    uint8_t digest[MD5_DIGEST_SIZE];
    Md5Final(digest, c);
    return Hex(digest, sizeof(digest));
  }
};

struct Sha256Algorithm {
  using Context = SHA256CTX;
  static void Init(Context* c) { Sha256Init(c); }
  static void Update(Context* c, const uint8_t* data, uint32_t length) {
    EXPECT_EQ(1, Sha256Update(c, data, length));
  }
  static std::string Final(Context* c) {
    uint8_t digest[SHA256_DIGEST_SIZE];
    Sha256Final(digest, c);
    return Hex(digest, sizeof(digest));
  }
};

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

template <class A>
std::string Whole(const std::vector<uint8_t>& data) {
  typename A::Context c;
  A::Init(&c);
  A::Update(&c, data.data(), uint32_t(data.size()));
  return A::Final(&c);
}

template <class A>
std::string ByteByByte(const std::vector<uint8_t>& data) {
  typename A::Context c;
  A::Init(&c);
  for (uint8_t b : data) A::Update(&c, &b, 1);
  return A::Final(&c);
}

// Two updates split at `offset`, with an empty update between them.
template <class A>
std::string Split(const std::vector<uint8_t>& data, size_t offset) {
  typename A::Context c;
  A::Init(&c);
  A::Update(&c, data.data(), uint32_t(offset));
  A::Update(&c, data.data(), 0);
  A::Update(&c, data.data() + offset, uint32_t(data.size() - offset));
  return A::Final(&c);
}

// The first part goes into one context; a copy of it finishes, while the original is spoiled.
template <class A>
std::string ContinuedFromCopy(const std::vector<uint8_t>& data, size_t offset) {
  typename A::Context original;
  A::Init(&original);
  A::Update(&original, data.data(), uint32_t(offset));
  typename A::Context copy = original;
  const uint8_t noise[100] = {1, 2, 3};
  A::Update(&original, noise, sizeof(noise));
  A::Update(&copy, data.data() + offset, uint32_t(data.size() - offset));
  return A::Final(&copy);
}

template <class A>
void ExpectAllWays(const std::vector<uint8_t>& data, const std::string& expected,
                   bool everyOffset) {
  EXPECT_EQ(expected, Whole<A>(data));
  EXPECT_EQ(expected, ByteByByte<A>(data));
  const size_t step = everyOffset ? 1 : data.size() / 7 + 1;
  for (size_t offset = 0; offset <= data.size(); offset += step) {
    ASSERT_EQ(expected, Split<A>(data, offset)) << "split at " << offset;
    ASSERT_EQ(expected, ContinuedFromCopy<A>(data, offset)) << "copied at " << offset;
  }
}

struct KNOWNVECTOR {
  const char* name;
  std::string input;
  const char* digest;
};

// RFC 1321, appendix A.5.
const KNOWNVECTOR MD5_VECTORS[] = {
    {"empty", "", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"alphabet", "abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"alphanumeric", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"eight times 1234567890",
     "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

// FIPS 180-2, appendix B, and the empty message.
const KNOWNVECTOR SHA256_VECTORS[] = {
    {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"two blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
};
const char SHA256_MILLION_A[] = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";

TEST(Md5, PublishedVectorsFourWays) {
  for (const KNOWNVECTOR& v : MD5_VECTORS) {
    SCOPED_TRACE(v.name);
    ExpectAllWays<Md5Algorithm>(Bytes(v.input), v.digest, true);
  }
}

TEST(Md5, RandomInputsMatchHashlib) {
  for (const RANDOMDIGESTVECTOR& v : RANDOM_DIGEST_VECTORS) {
    SCOPED_TRACE(testing::Message() << "length " << v.length);
    std::vector<uint8_t> data = TestBytes(v.seed, v.length);
    ExpectAllWays<Md5Algorithm>(data, v.md5, v.length <= 130);
    uint8_t digest[MD5_DIGEST_SIZE];
    Md5Buffer(digest, data.data(), v.length);
    EXPECT_EQ(v.md5, Hex(digest, sizeof(digest)));
  }
}

TEST(Md5, FinalLeavesAnAllZeroContext) {
  MD5CTX c;
  Md5Init(&c);
  Md5Update(&c, "abcdefghijklmnopqrstuvwxyz", 26);
  uint8_t digest[MD5_DIGEST_SIZE];
  Md5Final(digest, &c);
  const MD5CTX zero = {};
  EXPECT_EQ(0, memcmp(&zero, &c, sizeof(c)));
}

class Sha256Test : public testing::TestWithParam<SHA256IMPLEMENTATION> {
 protected:
  void SetUp() override {
    if (GetParam() == SHA256IMPLEMENTATION::HARDWARE && !Sha256HardwareAvailable()) {
      GTEST_SKIP() << "cpuid reports no SHA extensions (with SSSE3 and SSE4.1) on this "
                      "processor: the hardware block function cannot run here";
    }
    ASSERT_TRUE(Sha256SelectImplementation(GetParam()));
  }
  void TearDown() override {
    Sha256SelectImplementation(Sha256HardwareAvailable() ? SHA256IMPLEMENTATION::HARDWARE
                                                         : SHA256IMPLEMENTATION::PORTABLE);
  }
};

TEST_P(Sha256Test, PublishedVectorsFourWays) {
  for (const KNOWNVECTOR& v : SHA256_VECTORS) {
    SCOPED_TRACE(v.name);
    ExpectAllWays<Sha256Algorithm>(Bytes(v.input), v.digest, true);
  }
  ExpectAllWays<Sha256Algorithm>(std::vector<uint8_t>(1000000, 'a'), SHA256_MILLION_A, false);
}

TEST_P(Sha256Test, RandomInputsMatchHashlib) {
  for (const RANDOMDIGESTVECTOR& v : RANDOM_DIGEST_VECTORS) {
    SCOPED_TRACE(testing::Message() << "length " << v.length);
    ExpectAllWays<Sha256Algorithm>(TestBytes(v.seed, v.length), v.sha256, v.length <= 130);
  }
}

TEST_P(Sha256Test, FinalReinitialisesTheContext) {
  SHA256CTX c;
  Sha256Init(&c);
  Sha256Update(&c, "abc", 3);
  uint8_t digest[SHA256_DIGEST_SIZE];
  Sha256Final(digest, &c);
  SHA256CTX fresh;
  Sha256Init(&fresh);
  EXPECT_EQ(0, memcmp(fresh.state, c.state, sizeof(c.state)));
  EXPECT_EQ(0u, c.count);
  Sha256Final(digest, &c);
  EXPECT_EQ(SHA256_VECTORS[0].digest, Hex(digest, sizeof(digest)));
}

INSTANTIATE_TEST_SUITE_P(BlockFunctions, Sha256Test,
                         testing::Values(SHA256IMPLEMENTATION::PORTABLE,
                                         SHA256IMPLEMENTATION::HARDWARE),
                         [](const testing::TestParamInfo<SHA256IMPLEMENTATION>& info) {
                           return info.param == SHA256IMPLEMENTATION::HARDWARE ? "Hardware"
                                                                               : "Portable";
                         });

}  // namespace
