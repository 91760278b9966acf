#pragma once

#include <juce_core/juce_core.h>

#include <functional>

namespace rules
{
    /** The certificate that signed a program: the common names of its subject and issuer, and
        the SHA-256 of the whole certificate (its thumbprint) and of its public key (the DER
        SubjectPublicKeyInfo), each as 64 lower-case hex digits.
    */
    struct SignerIdentity
    {
        juce::String subject, issuer;
        juce::String certificateSha256, publicKeySha256;
    };

    /** Whether the signer may have signed the program that is started. */
    using SignerFilter = std::function<bool (const SignerIdentity& signer)>;
}
