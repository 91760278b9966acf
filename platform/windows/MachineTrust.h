#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstdint>

namespace platform
{
    /** What a certificate is checked for: its use and the chain policy that judges it. */
    struct TrustPurpose
    {
        LPCSTR usage;           // the extended key usage the chain must allow
        LPCSTR policy;          // CERT_CHAIN_POLICY_SSL, CERT_CHAIN_POLICY_AUTHENTICODE, ...
        void* policyExtra;      // the policy's own parameters (the server's name for SSL)
        DWORD policyFlags;
    };

    /** 0 when `leaf` has a chain (through the certificates of `extra` where it needs them) to a
        root the local machine trusts, valid at `when` (null: now) and passing `purpose`'s
        policy; else why not, as a CERT_E_ or TRUST_E_ code (CERT_E_CHAINING for a chain that
        reaches no root of the machine). Never the current user's roots: any program of the user
        can add one there, and this program runs elevated. No address in a certificate is
        fetched, so the check never waits on the network.
    */
    std::uint32_t checkMachineTrust (PCCERT_CONTEXT leaf, HCERTSTORE extra, FILETIME* when, const TrustPurpose& purpose);
}
