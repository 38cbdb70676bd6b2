#pragma once

#include <memory>
#include <string>

// How HTTPS servers are checked, shared by libcurl's probes and libavformat's connections:
// whether at all, and which trust anchors. Without a file of its own the libraries use the
// system's trust store; with one, the store is a bundle in memory (the system's anchors
// followed by the added ones), named by a path both libraries can open. Immutable once
// made: any thread may read it; the owner of the last reference closes the bundle.
class CTrustStore final {
public:
    // Checks on, against the system's trust store.
    CTrustStore() = default;
    ~CTrustStore();
    CTrustStore(const CTrustStore&) = delete;
    CTrustStore& operator=(const CTrustStore&) = delete;

    // A store for verify and ca_file (empty: none). 0; or the negative errno of a ca_file
    // that cannot be used (-EINVAL: no PEM certificate in it, or too large), and out then
    // checks against the system's trust store alone. out is always set.
    static int Create(bool verify, const std::string& ca_file, std::shared_ptr<const CTrustStore>& out);

    bool Verify() const { return m_verify; }
    // The bundle to hand to the libraries as their CA file; empty: their system store.
    const std::string& BundlePath() const { return m_bundle_path; }
    // The system's CA bundle file as libcurl was built to find it.
    static std::string SystemBundlePath();

    // Largest ca_file read.
    static constexpr long kMaxFileBytes = 1024 * 1024;

private:
    int MakeBundle(const std::string& ca_file);

    bool m_verify = true;
    int m_bundle_fd = -1;  // a memory file holding the bundle, -1 without one
    std::string m_bundle_path;
};
