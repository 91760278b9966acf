#include "download/SignerList.h"
#include "rules/AuthenticodeVerdict.h"

#include <gtest/gtest.h>

#include <ostream>

namespace
{
    const char* const vendorList = " Keldmark Ltd ; Keldmark Ltd 2027 | Example Code Signing CA ";
    const char* const certificateHash = "3f1c7a7b0d0b5e2f6a1e9c4d8b7a6f5e4d3c2b1a0f9e8d7c6b5a4f3e2d1c0b9a";
    const char* const keyHash = "aa55aa55aa55aa55aa55aa55aa55aa55aa55aa55aa55aa55aa55aa55aa55aa55";
    const char* const otherHash = "0000000000000000000000000000000000000000000000000000000000000001";
    const char* const certificatePin = "Keldmark Ltd 2027|Other CA; sha256: 3F1C7A7B0D0B5E2F6A1E9C4D8B7A6F5E4D3C2B1A0F9E8D7C6B5A4F3E2D1C0B9A";
    const char* const keyPin = "key-sha256:aa55aa55aa55aa55aa55aa55aa55aa55aa55aa55aa55aa55aa55aa55aa55aa55";

    struct MatchCase
    {
        const char* list;
        const char* subject;
        const char* issuer;
        bool allowed;
        bool valid;
        const char* certificate = "";   // the signer's hashes, when the row names them
        const char* key = "";
    };

    void PrintTo (const MatchCase& c, std::ostream* os)
    {
        *os << '[' << c.list << "] " << c.subject << " / " << c.issuer;
    }

    const MatchCase matchCases[] = {
        { vendorList, "Keldmark Ltd",          "Any CA",                   true,  true },
        { vendorList, "Keldmark Ltd 2027",     "Example Code Signing CA",  true,  true },
        { vendorList, "Keldmark Ltd 2027",     "Other CA",                 false, true },
        { vendorList, "keldmark ltd",          "Any CA",                   false, true },   // exact names
        { vendorList, "Keldmark",              "Any CA",                   false, true },
        { vendorList, "",                      "",                         false, true },
        // Not a list: allows no one, and is not "no check".
        { "Keldmark Ltd|",                     "Keldmark Ltd", "", false, false },
        { "|Example CA",                       "Keldmark Ltd", "", false, false },
        { "A|B|C",                             "A",            "B", false, false },
        { "Keldmark Ltd;;Other",               "Keldmark Ltd", "", false, false },
        { "Keldmark \"Ltd\"",                  "Keldmark \"Ltd\"", "", false, false },
        // A certificate or a key named beyond doubt: any name, any case of the hex digits.
        { certificatePin,  "Someone Else", "Any CA", true,  true, certificateHash, otherHash },
        { certificatePin,  "Keldmark Ltd", "Any CA", false, true, otherHash,       certificateHash },   // its key's hash is not its own
        { keyPin,          "Someone Else", "Any CA", true,  true, otherHash,       keyHash },
        { keyPin,          "Keldmark Ltd", "Any CA", false, true, keyHash,         otherHash },
        { "sha256:0123",                        "Keldmark Ltd", "", false, false, "0123", "" },
        { "key-sha256:zz",                      "Keldmark Ltd", "", false, false },
        { "sha256:" "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdeg", "A", "", false, false },
    };

    class SignerListTable : public ::testing::TestWithParam<MatchCase> {};
}

TEST_P (SignerListTable, AllowsExactlyTheListedSignersAndNoOneWhenInvalid)
{
    const auto& c = GetParam();
    const auto list = SignerList::parse (c.list);

    EXPECT_EQ (list.allows ({ c.subject, c.issuer, c.certificate, c.key }), c.allowed);
    EXPECT_EQ (list.getError().isEmpty(), c.valid) << list.getError();
    EXPECT_FALSE (list.isEmpty());
}

INSTANTIATE_TEST_SUITE_P (Lists, SignerListTable, ::testing::ValuesIn (matchCases));

TEST (SignerList, EmptyOrBlankMeansNoCheck)
{
    EXPECT_TRUE (SignerList::parse ({}).isEmpty());
    EXPECT_TRUE (SignerList::parse ("  ").isEmpty());
}

namespace
{
    struct VerdictCase
    {
        const char* situation;
        std::uint32_t trustResult;
        std::uint32_t chainResult;
        const char* subject;
        const char* expected;
    };

    void PrintTo (const VerdictCase& c, std::ostream* os)
    {
        *os << c.situation;
    }

    // What WinVerifyTrust and the chain policy report in each situation (winerror.h codes).
    const VerdictCase verdictCases[] = {
        { "signed by an allowed signer",                     0,          0,          "Keldmark Ltd", "" },
        { "one byte changed",                                0x80096010, 0,          "",             "changed since signing" },
        { "unsigned",                                        0x800b0100, 0,          "",             "no signature" },
        { "untrusted root, as Windows reports it",           0x800b0109, 0,          "",             "untrusted root" },
        { "untrusted root, as Wine reports it",              0,          0x800b0109, "Keldmark Ltd", "untrusted root" },
        { "expired, no time stamp (Windows)",                0x800b0101, 0,          "",             "expired" },
        { "expired, no time stamp (Wine)",                   0,          0x800b0101, "Keldmark Ltd", "expired" },
        { "revoked, known to the system",                    0x800b010c, 0,          "",             "revoked" },
        { "revocation unknown (offline)",                    0x80092013, 0,          "Keldmark Ltd", "" },
        { "revocation unknown, chain untrusted",             0x800b010e, 0x800b0109, "Keldmark Ltd", "untrusted root" },
        { "other failure",                                   0x80004005, 0,          "",             "not trusted (0x80004005)" },
        { "good signature, another signer",                  0,          0,          "Someone Else", "signer not allowed: \"Someone Else\" issued by \"Example CA\"" },
        { "good signature, no common name",                  0,          0,          "",             "no signer" },
    };

    class VerdictTable : public ::testing::TestWithParam<VerdictCase> {};
}

TEST_P (VerdictTable, NamesWhyAFileMustNotStart)
{
    const auto& c = GetParam();
    const auto list = SignerList::parse (vendorList);
    const rules::AuthenticodeFindings findings { c.trustResult, c.chainResult, { c.subject, "Example CA", {}, {} } };

    const auto verdict = rules::describeAuthenticodeFindings (findings, [&list] (const platform::SignerIdentity& signer)
                                                                 { return list.allows (signer); });
    EXPECT_EQ (verdict, juce::String (c.expected));
}

INSTANTIATE_TEST_SUITE_P (Findings, VerdictTable, ::testing::ValuesIn (verdictCases));

TEST (SignedBytes, OnlyABadDigestSaysTheBytesChangedAndOnlyAResultPastTheDigestSaysTheyAreIntact)
{
    using rules::SignedBytes;
    const std::pair<std::uint32_t, SignedBytes> cases[] = {
        { 0, SignedBytes::intact },
        { 0x800b0109, SignedBytes::intact },     // untrusted root: the digest was checked first
        { 0x800b0101, SignedBytes::intact },     // expired
        { 0x80096010, SignedBytes::changed },    // bad digest
        { 0x800b0100, SignedBytes::unsigned_ },  // no signature
        { 0x800b0003, SignedBytes::unsigned_ },  // not a form that can be signed
        { 0x80096019, SignedBytes::unsigned_ },  // a signature that cannot be read says nothing
    };

    for (const auto& [code, said] : cases)
        EXPECT_EQ (rules::judgeSignedBytes (code), said) << std::hex << code;
}
