#pragma once

#include "rules/SignerIdentity.h"

#include <cstdint>

namespace rules
{
    /** What Windows found about a file's Authenticode signature, and the names of the signer it
        verified: the results of WinVerifyTrust and of the policy check of the signer's chain
        (0 when good, or when it was not reached).
    */
    struct AuthenticodeFindings
    {
        std::uint32_t trustResult = 0;
        std::uint32_t chainResult = 0;
        SignerIdentity signer;   // the verified signer's certificate (empty names: none)
    };

    /** What a file's Authenticode signature says of its bytes, whoever signed it. */
    enum class SignedBytes
    {
        unsigned_,   // no signature that can be read: it says nothing
        intact,      // its digest is the file's: the bytes are the ones signed
        changed      // its digest is not the file's: bytes were changed, added or spliced after signing
    };

    /** From WinVerifyTrust's result: the digest is checked before the chain, so a result about
        the chain, the signer or revocation means the digest matched.
    */
    SignedBytes judgeSignedBytes (std::uint32_t trustResult);

    /** The reason the file must not be started, in a few words for the log, or empty when it
        may be. Kept apart from the system calls so that every outcome can be tested anywhere.
    */
    juce::String describeAuthenticodeFindings (const AuthenticodeFindings& findings, const SignerFilter& isAllowed);
}
