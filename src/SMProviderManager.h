#pragma once
// The process-wide registry of opened token libraries: one provider per name
// as the caller spelled it, kept for the life of the process.

#include <map>
#include <string>

class SMProvider;

typedef std::map<std::string, SMProvider*> smproviders;

// Whether the library at path may be loaded into the service. A page names
// the library, so a file the browser saved (a download) must never run here:
// after resolving links the file has to be a regular file owned by root and
// not writable by group or others, and every directory from / down to it
// owned by root and not writable by group or others unless it carries the
// sticky bit (as /tmp does). why, when given, receives the reason of a
// refusal; real, when given, the resolved path of a trusted file, which is
// the one to load (a link in a writable place could be redirected between
// the check and the loading, the resolved file cannot).
bool IsTrustedLibraryPath(const std::string& path, std::string* why, std::string* real = nullptr);

class SMProviderManager {
public:
    SMProviderManager();

    static SMProviderManager* shareInstance();

    // itype 3: SKF library, 4: PKCS#11 module. 0: opened now, 6: already
    // registered under strname (*psmp is that provider), 2: nothing usable
    // (missing, untrusted or failing library; *psmp unchanged).
    int obtainProvider(std::string& strname, int itype, SMProvider** psmp);
    // Destroys every provider and empties the registry; 0.
    int clearProviders();

    smproviders m_smps;
    static SMProviderManager* s_instance;
};
