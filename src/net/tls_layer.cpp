// The TLS side of a connection and the server TLS context. Until a
// certificate can be loaded no connection gets TLS: tls_recv and tls_send
// work in the clear and a ClientHello is closed unanswered.
#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstring>

#include "net/send_path.h"
#include "net/tls_state.h"
#include "service/console.h"

tls_names g_tls_t = {u"quillnestweb.pem", u"quillnestweb.pem"};
std::atomic<bool> https_ready{false};
std::atomic<bool> cert_valid{false};

static SSL_CTX* server_context;    // created by init, freed at shutdown
static int cipher_choice;          // last tls_no_weak_ciphers applied
static char group_choice[4];       // last accepted tls_min_bits_ec
static bool cert_key_requested;    // the settings named a certificate and a key

void tls_context_create()
{
    if (https_ready.load()) return;
    console_printf("%hs\n", OpenSSL_version(OPENSSL_VERSION));
    cert_valid.store(false);
    server_context = SSL_CTX_new(TLS_server_method());
    if (!server_context) {
        console_printf("cannot create server SSL context\n\n");
        return;
    }
    tls_set_options(cipher_choice);
}

void tls_context_release()
{
    https_ready.store(false);
    cert_valid.store(false);
    SSL_CTX* context = server_context;
    server_context = nullptr;
    SSL_CTX_free(context);
}

int tls_set_groups(const char* bits)
{
    static const char* const accepted[] = {"256", "384", "448", "521"};
    for (const char* a : accepted) {
        if (std::strcmp(a, bits) == 0) {
            std::memcpy(group_choice, a, 4);
            return 0;
        }
    }
    return -1;
}

int tls_load_cert_key()
{
    cert_key_requested = true;
    return -1;
}

void tls_set_options(int no_weak_ciphers) { cipher_choice = no_weak_ciphers ? 1 : 0; }

bool tls_certificate_covers(const char* host, uint64_t length)
{
    // OpenSSL takes a length of 0 as "up to the NUL", which an empty name lacks.
    if (!cert_valid.load() || server_context == nullptr || host == nullptr || length == 0) return false;
    X509* certificate = SSL_CTX_get0_certificate(server_context);
    return certificate != nullptr && X509_check_host(certificate, host, length, 0, nullptr) == 1;
}

int64_t tls_recv(tls_state* tls, char* buffer, uint64_t size)
{
    int64_t n = socket_recv(tls->so.load(), buffer, size);
    if (n < 0) {
        tls->so_error = socket_last_error();
        tls->tls_status = 0;
    }
    return n;
}

int64_t tls_send(tls_state* tls, const char* data, uint64_t size)
{
    int64_t n = send_with_deadline(tls, data, size, tls->send_deadline_ns);
    if (n < 0) tls->tls_status = 0;
    return n;
}
