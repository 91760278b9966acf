#include "rules/AuthenticodeVerdict.h"
#include "constants/Texts.h"

namespace rules
{

namespace
{
    // The system's codes (winerror.h), spelled out: this file is built on every system.
    constexpr std::uint32_t noSignature           = 0x800b0100;   // TRUST_E_NOSIGNATURE
    constexpr std::uint32_t unknownSubjectForm    = 0x800b0003;   // TRUST_E_SUBJECT_FORM_UNKNOWN
    constexpr std::uint32_t badDigest             = 0x80096010;   // TRUST_E_BAD_DIGEST
    constexpr std::uint32_t untrustedRoot         = 0x800b0109;   // CERT_E_UNTRUSTEDROOT
    constexpr std::uint32_t noChain               = 0x800b010a;   // CERT_E_CHAINING
    constexpr std::uint32_t explicitlyDistrusted  = 0x800b0111;   // TRUST_E_EXPLICIT_DISTRUST
    constexpr std::uint32_t expired               = 0x800b0101;   // CERT_E_EXPIRED
    constexpr std::uint32_t revoked               = 0x800b010c;   // CERT_E_REVOKED
    constexpr std::uint32_t revokedMessage        = 0x80092010;   // CRYPT_E_REVOKED
    constexpr std::uint32_t revocationFailure     = 0x800b010e;   // CERT_E_REVOCATION_FAILURE
    constexpr std::uint32_t revocationOffline     = 0x80092013;   // CRYPT_E_REVOCATION_OFFLINE
    constexpr std::uint32_t wrongUsage            = 0x800b0110;   // CERT_E_WRONG_USAGE

    juce::String describeCode (std::uint32_t code)
    {
        switch (code)
        {
            case noSignature:
            case unknownSubjectForm:    return Texts::Signature::noSignature;
            case badDigest:             return Texts::Signature::changedSinceSigning;
            case untrustedRoot:
            case noChain:
            case explicitlyDistrusted:  return Texts::Signature::untrustedRoot;
            case expired:               return Texts::Signature::expired;
            case revoked:
            case revokedMessage:        return Texts::Signature::revoked;
            case wrongUsage:            return Texts::Signature::notCodeSigning;
            default:                    return Texts::Signature::notTrusted + juce::String::toHexString ((juce::int64) code).paddedLeft ('0', 8) + ")";
        }
    }
}

SignedBytes judgeSignedBytes (std::uint32_t trustResult)
{
    switch (trustResult)
    {
        case badDigest:
            return SignedBytes::changed;

        case 0:
        case untrustedRoot:
        case noChain:
        case explicitlyDistrusted:
        case expired:
        case revoked:
        case revokedMessage:
        case revocationFailure:
        case revocationOffline:
        case wrongUsage:
            return SignedBytes::intact;

        default:
            return SignedBytes::unsigned_;
    }
}

juce::String describeAuthenticodeFindings (const AuthenticodeFindings& findings, const SignerFilter& isAllowed)
{
    // Revocation is looked up only in what the system already holds (see
    // docs/security-and-reliability.md): a status that is unknown there is not a failure, a
    // certificate known to be revoked is.
    const auto unknownRevocation = findings.trustResult == revocationFailure || findings.trustResult == revocationOffline;

    if (findings.trustResult != 0 && ! unknownRevocation)
        return describeCode (findings.trustResult);

    if (findings.chainResult != 0)
        return describeCode (findings.chainResult);

    const auto& signer = findings.signer;

    if (signer.subject.isEmpty())
        return Texts::Signature::noSigner;

    if (! isAllowed (signer))
        return Texts::Signature::signerNotAllowed + signer.subject + Texts::Signature::issuedBy + signer.issuer + "\"";

    return {};
}

} // namespace rules
