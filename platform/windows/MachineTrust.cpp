#include "MachineTrust.h"

namespace platform
{

std::uint32_t checkMachineTrust (PCCERT_CONTEXT leaf, HCERTSTORE extra, FILETIME* when, const TrustPurpose& purpose)
{
    constexpr std::uint32_t noChain = 0x800b010a;   // CERT_E_CHAINING

    if (leaf == nullptr)
        return noChain;

    LPSTR usages[] = { const_cast<LPSTR> (purpose.usage) };
    CERT_CHAIN_PARA chainPara {};
    chainPara.cbSize = sizeof (chainPara);
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;

    if (! CertGetCertificateChain (HCCE_LOCAL_MACHINE, leaf, when, extra, &chainPara, CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL,
                                   nullptr, &chain) || chain == nullptr)
        return noChain;

    CERT_CHAIN_POLICY_PARA policyPara {};
    policyPara.cbSize = sizeof (policyPara);
    policyPara.dwFlags = purpose.policyFlags;
    policyPara.pvExtraPolicyPara = purpose.policyExtra;
    CERT_CHAIN_POLICY_STATUS status {};
    status.cbSize = sizeof (status);

    auto result = CertVerifyCertificateChainPolicy (purpose.policy, chain, &policyPara, &status) ? (std::uint32_t) status.dwError
                                                                                                 : (std::uint32_t) GetLastError();

    // Wine's policies pass a chain that stops short of any root (Windows' refuse it): such a
    // chain is refused here on both.
    if (result == 0 && (chain->TrustStatus.dwErrorStatus & (CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_UNTRUSTED_ROOT)) != 0)
        result = noChain;

    CertFreeCertificateChain (chain);
    return result;
}

} // namespace platform
