#pragma once

#include "platform/Platform.h"

#include <vector>

/** Who may have signed the setup tool before it is started: the build constant
    VANTREL_ALLOWED_SIGNERS, parsed.

    Entries are separated by ";", blanks around an entry or a name ignored. Each is one of:
    - "sha256:" and the signing certificate's SHA-256 thumbprint (64 hex digits): that one
      certificate only;
    - "key-sha256:" and the SHA-256 of the certificate's public key (its DER SubjectPublicKeyInfo,
      64 hex digits): any certificate for that key, such as the same key's renewed certificate;
    - the certificate's subject common name (what Windows shows as "Issued to" or "Name of
      signer"), optionally followed by "|" and its issuer's common name ("Issued by"), compared
      exactly: any certificate a trusted authority issued under that name (to that issuer).
    An empty text means no check. Text that is not a valid list allows no one, so that a mistake
    can never turn the check off.
*/
class SignerList
{
public:
    SignerList() = default;

    static SignerList parse (const juce::String& text);

    /** What is wrong with the text, or empty when it is a valid list (or empty). */
    const juce::String& getError() const noexcept   { return error; }

    /** True only when no check was asked for. */
    bool isEmpty() const noexcept                     { return entries.empty() && error.isEmpty(); }

    bool allows (const platform::SignerIdentity& signer) const;

private:
    struct Entry
    {
        enum class Kind { names, certificate, publicKey };

        Kind kind = Kind::names;
        juce::String subject;   // names: the subject; else the hash, in lower case
        juce::String issuer;    // names: empty for any issuer
    };

    std::vector<Entry> entries;
    juce::String error;
};
