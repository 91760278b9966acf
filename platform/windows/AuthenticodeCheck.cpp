#include "windows/AuthenticodeCheck.h"
#include "windows/MachineTrust.h"

#include "rules/AuthenticodeVerdict.h"

#include <bcrypt.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

namespace platform
{

namespace
{
    juce::String commonName (PCCERT_CONTEXT certificate, DWORD flags)
    {
        wchar_t name[256] {};
        CertGetNameStringW (certificate, CERT_NAME_ATTR_TYPE, flags, const_cast<char*> (szOID_COMMON_NAME), name, 256);
        return juce::String (name);
    }

    /** SHA-256 of `bytes` as 64 lower-case hex digits; empty when it cannot be made. */
    juce::String sha256 (const BYTE* bytes, DWORD size)
    {
        BYTE hash[32] {};
        DWORD hashSize = sizeof (hash);

        if (! CryptHashCertificate2 (BCRYPT_SHA256_ALGORITHM, 0, nullptr, bytes, size, hash, &hashSize) || hashSize != sizeof (hash))
            return {};

        return juce::String::toHexString (hash, (int) sizeof (hash), 0);
    }

    /** The SHA-256 of the certificate's public key as it stands in the certificate (its DER
        SubjectPublicKeyInfo), which a renewed certificate for the same key shares.
    */
    juce::String publicKeySha256 (PCCERT_CONTEXT certificate)
    {
        auto* info = &certificate->pCertInfo->SubjectPublicKeyInfo;
        DWORD size = 0;

        if (! CryptEncodeObject (X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, info, nullptr, &size) || size == 0)
            return {};

        juce::HeapBlock<BYTE> encoded (size);
        return CryptEncodeObject (X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, info, encoded, &size) ? sha256 (encoded, size)
                                                                                                   : juce::String();
    }

    /** The certificates a verification looked in (the signature's own among them), as one
        store to find the intermediates in; null when there are none.
    */
    HCERTSTORE collectStores (const CRYPT_PROVIDER_DATA* provider)
    {
        if (provider == nullptr || provider->chStores == 0)
            return nullptr;

        auto* const collection = CertOpenStore (CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);

        for (DWORD i = 0; collection != nullptr && i < provider->chStores; ++i)
            CertAddStoreToCollection (collection, provider->pahStores[i], 0, 0);

        return collection;
    }

    /** One WinVerifyTrust verification of a file; its state (the verified signer among it) lives
        until this goes.
    */
    class Verification
    {
    public:
        Verification (HANDLE file, const juce::File& name)
            : path (name.getFullPathName())
        {
            fileInfo.cbStruct = sizeof (fileInfo);
            fileInfo.pcwszFilePath = path.toWideCharPointer();
            fileInfo.hFile = file;

            data.cbStruct = sizeof (data);
            data.dwUIChoice = WTD_UI_NONE;
            data.dwUnionChoice = WTD_CHOICE_FILE;
            data.pFile = &fileInfo;
            data.dwStateAction = WTD_STATEACTION_VERIFY;

            // Revocation: only what the system already holds; the network is never asked, so the
            // check cannot wait on it (docs/security-and-reliability.md says why).
            data.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
            data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT;

            result = (std::uint32_t) WinVerifyTrust ((HWND) INVALID_HANDLE_VALUE, &action, &data);
        }

        ~Verification()
        {
            data.dwStateAction = WTD_STATEACTION_CLOSE;
            WinVerifyTrust ((HWND) INVALID_HANDLE_VALUE, &action, &data);
        }

        std::uint32_t getResult() const noexcept   { return result; }

        HANDLE getState() const noexcept   { return data.hWVTStateData; }

        /** The signer WinVerifyTrust verified, with the chain it built for it, or null. */
        const CRYPT_PROVIDER_SGNR* getSigner() const
        {
            auto* provider = WTHelperProvDataFromStateData (data.hWVTStateData);
            auto* signer = provider != nullptr ? WTHelperGetProvSignerFromChain (provider, 0, FALSE, 0) : nullptr;
            return signer != nullptr && signer->pChainContext != nullptr && signer->pChainContext->cChain > 0
                   && signer->pChainContext->rgpChain[0]->cElement > 0 ? signer : nullptr;
        }

    private:
        const juce::String path;
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        WINTRUST_FILE_INFO fileInfo {};
        WINTRUST_DATA data {};
        std::uint32_t result = 0;

        JUCE_DECLARE_NON_COPYABLE (Verification)
    };
}

rules::SignedBytes checkSignedBytes (HANDLE file, const juce::File& name)
{
    return rules::judgeSignedBytes (Verification (file, name).getResult());
}

juce::String checkAuthenticode (HANDLE file, const juce::File& name, const SignerFilter& isAllowed)
{
    const Verification verification (file, name);
    rules::AuthenticodeFindings findings;
    findings.trustResult = verification.getResult();

    if (const auto* signer = verification.getSigner())
    {
        // WinVerifyTrust builds the chain with the current user's roots, which any program of
        // the user can add to (and under Wine accepts a chain to an untrusted root): the
        // verified signer's chain is built again from the machine's roots alone, as of the time
        // WinVerifyTrust verified it at (the time stamp's, when there is one), through the
        // certificates the signature carries.
        const auto* leaf = signer->pChainContext->rgpChain[0]->rgpElement[0]->pCertContext;
        const auto stores = collectStores (WTHelperProvDataFromStateData (verification.getState()));
        auto verifiedAt = signer->sftVerifyAsOf;
        findings.chainResult = checkMachineTrust (leaf, stores, &verifiedAt,
                                                  { szOID_PKIX_KP_CODE_SIGNING, CERT_CHAIN_POLICY_AUTHENTICODE, nullptr,
                                                    CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS });

        if (stores != nullptr)
            CertCloseStore (stores, 0);

        findings.signer = { commonName (leaf, 0), commonName (leaf, CERT_NAME_ISSUER_FLAG),
                            sha256 (leaf->pbCertEncoded, leaf->cbCertEncoded), publicKeySha256 (leaf) };
    }

    return rules::describeAuthenticodeFindings (findings, isAllowed);
}

} // namespace platform
