#pragma once
// The TLS listener and its serving loop: one request per connection, one
// connection at a time.

#include "httpurl.h"

#include <openssl/ssl.h>

#include <cstddef>
#include <string>

// 0: this process listens on IPv4; 1: on IPv6. Set once after the fork.
extern int ipflag;

class CHttpServer {
public:
    static constexpr size_t kRecvBufferSize = 1024 * 1024;

    CHttpServer();
    virtual ~CHttpServer();
    CHttpServer(const CHttpServer&) = delete;
    CHttpServer& operator=(const CHttpServer&) = delete;

    virtual int InitServer(int maxlisten, int nPort) = 0;

    // The result callback handed to VaultlineEntry.
    static int VaultlineNotify(const std::string& result);

    // Turns the bytes of one request into the whole reply: runs the command
    // for a well-formed GET or POST, the 400 reply for anything else.
    std::string HandleRequest(const char* data, size_t len);

    char* m_recvData = nullptr;
    CHttpRequest m_RequestHandler;
    // Result slot of the process; emptied before every command.
    static std::string m_strVaultlineNotify;
    // Whether the command stored a result at all.
    static bool m_bVaultlineNotified;

protected:
    // Runs the command text and returns the result to frame.
    std::string RunCommand(const std::string& text);
};

class CHttpsServer : public CHttpServer {
public:
    // Handshake and whole request must arrive within this bound, so one
    // silent client cannot hold up every other page.
    static constexpr int kIoBoundMs = 10000;
    // After answering a request that was not read whole, input is drained for
    // at most this long so the reply is not lost to a connection reset.
    static constexpr int kDrainMs = 1000;
    static constexpr int kBacklog = 10;

    CHttpsServer();
    ~CHttpsServer() override;

    int InitServer(int maxlisten, int nPort) override;
    virtual bool StartServer();

    // Serves the connection in sClient and closes it.
    void ServeConnection();

    SSL* ssl = nullptr;
    SSL_CTX* ssl_ctx = nullptr;
    int server = -1;
    int sClient = -1;

private:
    void CloseConnection();
    void Drain();
};

void startservice();

extern const char kErrorReply[];
extern const char kJsonpReplyHead[];
extern const char kJsonReplyHead[];
