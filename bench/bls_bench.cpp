#include <benchmark/benchmark.h>

#include <algorithm>

#include "consensus/bls.hpp"
#include "consensus/certificate.hpp"
#include "consensus/test_keys.hpp"

namespace vesk {
namespace {

const std::vector<uint8_t>& message() {
    static const std::vector<uint8_t> m = [] {
        QuorumMessage q;
        q.slot = 42;
        auto b = q.signing_bytes();
        return std::vector<uint8_t>(b.begin(), b.end());
    }();
    return m;
}

void BM_Keygen(benchmark::State& state) {
    std::array<uint8_t, 32> seed{};
    for (auto _ : state) {
        seed[0]++;
        benchmark::DoNotOptimize(NodeIdentity(bls::keygen(seed)));
    }
}
BENCHMARK(BM_Keygen);

void BM_Sign(benchmark::State& state) {
    auto sk = testkeys::secret(1);
    for (auto _ : state) benchmark::DoNotOptimize(bls::sign(sk, message()));
}
BENCHMARK(BM_Sign);

struct SingleFixture {
    PubkeyAffine pk;
    SignatureAffine sig;
    BlsPubkey key;
    BlsSignature sig_bytes;
    SingleFixture() {
        auto sk = testkeys::secret(1);
        key = bls::pubkey_from_secret(sk);
        sig_bytes = bls::sign(sk, message());
        pk = *PubkeyAffine::decode(key);
        sig = *SignatureAffine::decode(sig_bytes);
    }
};

// The pairing check alone, on decoded points.
void BM_VerifySingle(benchmark::State& state) {
    SingleFixture f;
    for (auto _ : state) benchmark::DoNotOptimize(f.pk._verify_signature(f.sig, message()));
}
BENCHMARK(BM_VerifySingle);

// blst's one-call check of the same key, message and signature.
void BM_VerifySingleBlstCore(benchmark::State& state) {
    SingleFixture f;
    for (auto _ : state) {
        benchmark::DoNotOptimize(blst_core_verify_pk_in_g1(
            &f.pk.point, &f.sig.point, true, message().data(), message().size(),
            reinterpret_cast<const uint8_t*>(bls::DST.data()), bls::DST.size(), nullptr, 0));
    }
}
BENCHMARK(BM_VerifySingleBlstCore);

// A vote's whole check: decode with subgroup checks, then the pairing check.
void BM_VerifySingleWithDecode(benchmark::State& state) {
    SingleFixture f;
    for (auto _ : state) {
        auto pk = PubkeyAffine::decode(f.key);
        auto sig = SignatureAffine::decode(f.sig_bytes);
        benchmark::DoNotOptimize(pk->_verify_signature(*sig, message()));
    }
}
BENCHMARK(BM_VerifySingleWithDecode);

void BM_CertificateVerify16(benchmark::State& state) {
    auto ids = testkeys::identities(16);
    auto members = testkeys::stake_one_members(ids);
    QuorumView view(0, 100, members);
    QuorumMessage m;
    m.slot = 42;
    std::vector<std::pair<size_t, BlsSignature>> sigs;
    for (size_t i = 0; i < view.len(); ++i) {
        auto& id = *std::find_if(ids.begin(), ids.end(), [&](auto& x) { return x.pubkey == view.keys[i]; });
        sigs.emplace_back(i, bls::sign(id.secret, m.signing_bytes()));
    }
    QuorumCertificate cert(view.view_id, m, sigs);
    if (!cert.verify(view)) state.SkipWithError("certificate does not verify");
    for (auto _ : state) benchmark::DoNotOptimize(cert.verify(view));
}
BENCHMARK(BM_CertificateVerify16);

}  // namespace
}  // namespace vesk
