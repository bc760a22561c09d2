#include "httpsservice.h"

#include "OpenSSLHelper.h"
#include "Scheduling.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ServerCredentials.inc"

int ipflag = 0;

const char kErrorReply[] = "HTTP/1.1 400 Bad Request\r\n\r\nError";
const char kJsonpReplyHead[] =
    "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nAccess-Control-Allow-Origin: *\r\ncode: 1\r\n\r\n";
const char kJsonReplyHead[] = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nAccess-Control-Allow-Origin: *\r\n\r\n";

namespace {

const char kKeyPassphrase[] = "7ac3d94e";
// Result given to the page when the command stored none (text that is not
// JSON, members of the wrong type, an error inside the command).
const char kNoResult[] = "{\"code\":-1}";

const char kCipherList[] =
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-SHA384:ECDHE-ECDSA-AES256-SHA384:"
    "ECDHE-RSA-AES256-SHA:ECDHE-ECDSA-AES256-SHA:SRP-DSS-AES-256-CBC-SHA:SRP-RSA-AES-256-CBC-SHA:"
    "DHE-DSS-AES256-GCM-SHA384:DHE-RSA-AES256-GCM-SHA384:DHE-RSA-AES256-SHA256:DHE-DSS-AES256-SHA256:"
    "DHE-RSA-AES256-SHA:DHE-DSS-AES256-SHA:DHE-RSA-CAMELLIA256-SHA:DHE-DSS-CAMELLIA256-SHA:"
    "ECDH-RSA-AES256-GCM-SHA384:ECDH-ECDSA-AES256-GCM-SHA384:ECDH-RSA-AES256-SHA384:ECDH-ECDSA-AES256-SHA384:"
    "ECDH-RSA-AES256-SHA:ECDH-ECDSA-AES256-SHA:AES256-GCM-SHA384:AES256-SHA256:AES256-SHA:CAMELLIA256-SHA:"
    "PSK-AES256-CBC-SHA:ECDHE-RSA-DES-CBC3-SHA:ECDHE-ECDSA-DES-CBC3-SHA:SRP-DSS-3DES-EDE-CBC-SHA:"
    "SRP-RSA-3DES-EDE-CBC-SHA:EDH-RSA-DES-CBC3-SHA:EDH-DSS-DES-CBC3-SHA:ECDH-RSA-DES-CBC3-SHA:"
    "ECDH-ECDSA-DES-CBC3-SHA:DES-CBC3-SHA:PSK-3DES-EDE-CBC-SHA:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-SHA256:ECDHE-ECDSA-AES128-SHA256:ECDHE-RSA-AES128-SHA:"
    "ECDHE-ECDSA-AES128-SHA:SRP-DSS-AES-128-CBC-SHA:SRP-RSA-AES-128-CBC-SHA:DHE-DSS-AES128-GCM-SHA256:"
    "DHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES128-SHA256:DHE-DSS-AES128-SHA256:DHE-RSA-AES128-SHA:"
    "DHE-DSS-AES128-SHA:DHE-RSA-SEED-SHA:DHE-DSS-SEED-SHA:DHE-RSA-CAMELLIA128-SHA:DHE-DSS-CAMELLIA128-SHA:"
    "ECDH-RSA-AES128-GCM-SHA256:ECDH-ECDSA-AES128-GCM-SHA256:ECDH-RSA-AES128-SHA256:ECDH-ECDSA-AES128-SHA256:"
    "ECDH-RSA-AES128-SHA:ECDH-ECDSA-AES128-SHA:AES128-GCM-SHA256:AES128-SHA256:AES128-SHA:SEED-SHA:"
    "CAMELLIA128-SHA:PSK-AES128-CBC-SHA:ECDHE-RSA-RC4-SHA:ECDHE-ECDSA-RC4-SHA:ECDH-RSA-RC4-SHA:"
    "ECDH-ECDSA-RC4-SHA:RC4-SHA:RC4-MD5:PSK-RC4-SHA:EDH-RSA-DES-CBC-SHA:EDH-DSS-DES-CBC-SHA:DES-CBC-SHA:"
    "EXP-EDH-RSA-DES-CBC-SHA:EXP-EDH-DSS-DES-CBC-SHA:EXP-DES-CBC-SHA:EXP-RC2-CBC-MD5:EXP-RC4-MD5";

using Clock = std::chrono::steady_clock;
using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

// Sets both socket time-outs; false when the bound has already passed.
bool SetSocketBound(int fd, Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
        return false;
    }
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(left / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(left % 1000000);
    return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 &&
           setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

}  // namespace

std::string CHttpServer::m_strVaultlineNotify;
bool CHttpServer::m_bVaultlineNotified = false;

CHttpServer::CHttpServer() = default;

CHttpServer::~CHttpServer()
{
    delete[] m_recvData;
    m_recvData = nullptr;
}

int CHttpServer::VaultlineNotify(const std::string& result)
{
    m_strVaultlineNotify = result;
    m_bVaultlineNotified = true;
    std::printf("result: %s\n", result.c_str());
    return 0;
}

std::string CHttpServer::RunCommand(const std::string& text)
{
    // A result left from an earlier request may belong to another page.
    m_strVaultlineNotify.clear();
    m_bVaultlineNotified = false;
    VaultlineEntry(text, &CHttpServer::VaultlineNotify, &m_RequestHandler);
    if (!m_bVaultlineNotified) {
        m_strVaultlineNotify = kNoResult;
    }
    return m_strVaultlineNotify;
}

std::string CHttpServer::HandleRequest(const char* data, size_t len)
{
    m_RequestHandler.Attach(data, len);
    const std::string callback = m_RequestHandler.QueryRequestPara("jsoncallback");
    const std::string method = m_RequestHandler.GetRequestMethod();
    std::string reply;
    if (method == "GET") {
        if (callback.empty()) {
            reply = kErrorReply;
        } else {
            const std::string result = RunCommand(m_RequestHandler.QueryRequestPara("str"));
            reply.reserve(sizeof kJsonpReplyHead + callback.size() + result.size() + 2);
            reply.append(kJsonpReplyHead).append(callback).append("(").append(result).append(")");
        }
    } else if (method == "POST") {
        const std::string body = m_RequestHandler.GetPostContent();
        if (body.empty()) {
            reply = kErrorReply;
        } else {
            reply = kJsonReplyHead + RunCommand(body);
        }
    } else {
        reply = kErrorReply;
    }
    m_RequestHandler.Dettach();
    return reply;
}

CHttpsServer::CHttpsServer() = default;

CHttpsServer::~CHttpsServer()
{
    if (ssl) {
        SSL_shutdown(ssl);
        SSL_free(ssl);
        ssl = nullptr;
    }
    if (ssl_ctx) {
        SSL_CTX_free(ssl_ctx);
        ssl_ctx = nullptr;
    }
    if (sClient != -1) {
        close(sClient);
        sClient = -1;
    }
    if (server != -1) {
        close(server);
        server = -1;
    }
}

int CHttpsServer::InitServer(int /*maxlisten*/, int nPort)
{
    delete[] m_recvData;
    m_recvData = new (std::nothrow) char[kRecvBufferSize];
    if (!m_recvData) {
        return 1;
    }
    std::memset(m_recvData, 0, kRecvBufferSize);

    if (ssl_ctx) {
        SSL_CTX_free(ssl_ctx);
    }
    ssl_ctx = SSL_CTX_new(TLS_server_method());
    if (!ssl_ctx) {
        return -2;
    }
    SSL_CTX_set_verify(ssl_ctx, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_default_passwd_cb_userdata(ssl_ctx, const_cast<char*>(kKeyPassphrase));

    const std::string der = OpensslHelper::Base64Decode(kServerCertBase64);
    SSL_CTX_use_certificate_ASN1(ssl_ctx, static_cast<int>(der.size()),
                                 reinterpret_cast<const unsigned char*>(der.data()));

    BioPtr bio(BIO_new_mem_buf(kServerKeyPem, -1), &BIO_free);
    PkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, const_cast<char*>(kKeyPassphrase))
                    : nullptr,
                &EVP_PKEY_free);
    bio.reset();
    if (key) {
        SSL_CTX_use_PrivateKey(ssl_ctx, key.get());
    }
    const int check = SSL_CTX_check_private_key(ssl_ctx);
    std::printf(check == 1 ? "SSL_CTX_check_private_key ok\n" : "SSL_CTX_check_private_key not ok\n");
    std::printf("check server cert and key %d\n", check);
    ERR_clear_error();

    // Names this library no longer has are skipped; TLS 1.3 suites stay on.
    SSL_CTX_set_cipher_list(ssl_ctx, kCipherList);

    if (server != -1) {
        close(server);
        server = -1;
    }
    const int one = 1;
    if (ipflag == 0) {
        server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
        if (server < 0) {
            server = -1;
            return -2;
        }
        // A restarted service keeps its port despite connections of the last
        // run in TIME_WAIT; a port another process listens on stays refused.
        setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(nPort));
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        if (bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close(server);
            server = -1;
            return -3;
        }
        if (listen(server, kBacklog) != 0) {
            std::printf("listen on port %d failed\n", nPort);
            close(server);
            server = -1;
            return -4;
        }
    } else {
        server = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (server < 0) {
            server = -1;
            return -2;
        }
        setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in6 addr6;
        std::memset(&addr6, 0, sizeof addr6);
        addr6.sin6_family = AF_INET6;
        addr6.sin6_port = htons(static_cast<uint16_t>(nPort));
        addr6.sin6_addr = in6addr_any;
        setsockopt(server, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        if (bind(server, reinterpret_cast<sockaddr*>(&addr6), sizeof addr6) != 0) {
            close(server);
            server = -1;
            return -3;
        }
        if (listen(server, kBacklog) != 0) {
            close(server);
            server = -1;
            return -4;
        }
    }
    return 0;
}

bool CHttpsServer::StartServer()
{
    for (;;) {
        sClient = accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
        if (sClient < 0) {
            sClient = -1;
            usleep(100000);
            continue;
        }
        ServeConnection();
        usleep(100000);
    }
    return false;
}

void CHttpsServer::ServeConnection()
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kIoBoundMs);
    const int flags = fcntl(sClient, F_GETFL, 0);
    if (flags < 0 || fcntl(sClient, F_SETFL, flags & ~O_NONBLOCK) < 0 || !SetSocketBound(sClient, deadline)) {
        CloseConnection();
        return;
    }
    ssl = SSL_new(ssl_ctx);
    if (!ssl || SSL_set_fd(ssl, sClient) != 1 || SSL_accept(ssl) != 1) {
        ERR_clear_error();
        CloseConnection();
        return;
    }

    // Read until the request is whole: the header block, and for a POST the
    // announced body. Browsers and any body over one TLS record need several reads.
    const size_t capacity = kRecvBufferSize - 1;  // the last byte keeps the text terminated
    size_t used = 0;
    bool whole = false;
    while (used < capacity) {
        if (!SetSocketBound(sClient, deadline)) {
            break;
        }
        const int n = SSL_read(ssl, m_recvData + used, static_cast<int>(capacity - used));
        if (n <= 0) {
            if (n < 0) {
                std::printf("read from client failed\n");
            }
            break;
        }
        used += static_cast<size_t>(n);
        if (CHttpRequest::ScanRequest(m_recvData, used, capacity) == CHttpRequest::Scan::kComplete) {
            whole = true;
            break;
        }
    }

    if (whole || used == capacity) {
        // A request that does not fit the buffer is answered as malformed.
        const std::string reply = whole ? HandleRequest(m_recvData, used) : std::string(kErrorReply);
        SetSocketBound(sClient, Clock::now() + std::chrono::milliseconds(kIoBoundMs));
        SSL_write(ssl, reply.data(), static_cast<int>(reply.size()));
        if (reply.compare(0, sizeof kErrorReply - 1, kErrorReply) == 0) {
            SSL_shutdown(ssl);
            Drain();
        }
    }
    std::memset(m_recvData, 0, used);
    ERR_clear_error();
    CloseConnection();
}

void CHttpsServer::Drain()
{
    // The peer may still be sending what we did not read; closing with unread
    // input would reset the connection and destroy the reply in flight.
    shutdown(sClient, SHUT_WR);
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(kDrainMs);
    char sink[16384];
    while (SetSocketBound(sClient, until)) {
        const ssize_t n = recv(sClient, sink, sizeof sink, 0);
        if (n <= 0) {
            break;
        }
    }
}

void CHttpsServer::CloseConnection()
{
    if (ssl) {
        if (!(SSL_get_shutdown(ssl) & SSL_SENT_SHUTDOWN)) {
            SSL_shutdown(ssl);
        }
        SSL_free(ssl);
        ssl = nullptr;
    }
    ERR_clear_error();
    if (sClient != -1) {
        close(sClient);
        sClient = -1;
    }
}

void startservice()
{
    CHttpsServer server;
    for (int i = 0; i < 5; ++i) {
        const int port = 5426 + i;
        if (server.InitServer(3, port) == 0) {
            std::printf("vaultline: listening on %s:%d pid %d\n", ipflag == 0 ? "0.0.0.0" : "[::]", port,
                        static_cast<int>(getpid()));
            server.StartServer();
            break;
        }
    }
}
