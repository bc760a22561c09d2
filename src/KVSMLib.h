#pragma once
// The per-session command object: picks a command by "pcode"/"ccode", runs its
// handler and always returns a JSON result text.

#include <json/json.h>

#include <map>
#include <string>

class SMProvider;
class SMCertificate;

typedef std::map<int, SMProvider*> providerlist;

class KVSMLib {
public:
    typedef int (KVSMLib::*Handler)(Json::Value command, std::string& output);

    static constexpr int kProviderCommands = 9;     // pcode 0..8
    static constexpr int kCertificateCommands = 6;  // ccode 0..5

    int invoke(const std::string& input, std::string& output);

    SMProvider* getProviderByID(int index) const;
    void addProvider(int index, SMProvider* provider);
    void setCodePage(int codePage);

    // Handlers. Each writes one compact JSON result (or nothing) and returns its code.
    // Provider commands ("pcode").
    int getProvider(Json::Value command, std::string& output);
    int genCSR(Json::Value command, std::string& output);
    int impCert(Json::Value command, std::string& output);
    int expCert(Json::Value command, std::string& output);
    int deleteCert(Json::Value command, std::string& output);
    int getCertList(Json::Value command, std::string& output);
    int selectCert(Json::Value command, std::string& output);
    int getKeyCount(Json::Value command, std::string& output);
    int selectKey(Json::Value command, std::string& output);
    // Certificate commands ("ccode"), on the session's selected certificate.
    int getCertInfo(Json::Value command, std::string& output);
    int sign(Json::Value command, std::string& output);
    int verify(Json::Value command, std::string& output);
    int encrypt(Json::Value command, std::string& output);
    int decrypt(Json::Value command, std::string& output);
    int setPin(Json::Value command, std::string& output);

    // Providers opened by this session, by the index the page sends as "pid".
    // Not owned: providers belong to the process-wide registry.
    providerlist m_pl;
    // Certificate selected in this session; points into its provider's list.
    SMCertificate* m_selsmcert = nullptr;

private:
    // The selection is valid only while its provider's list is the one it was
    // made from: any session's next listing replaces (and frees) that list.
    SMCertificate* SelectedCertificate();
    SMProvider* m_selprovider = nullptr;
    unsigned long m_selgeneration = 0;

public:

private:
    static const Handler s_providerHandlers[kProviderCommands];
    static const Handler s_certificateHandlers[kCertificateCommands];
};
