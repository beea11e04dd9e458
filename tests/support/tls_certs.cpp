#include "tests/support/tls_certs.h"

#include <stdexcept>

namespace test_support {

namespace {

void openssl(std::string const& dir, std::string const& arguments) {
    command_output r = run_command("cd " + shell_quote(dir) + " && openssl " + arguments + " 2>&1");
    if (r.status != 0) throw std::runtime_error("openssl " + arguments + ": " + r.out);
}

} // namespace

tls_certs const& tls_certs::get() {
    static tls_certs const certs;
    return certs;
}

tls_certs::tls_certs() {
    std::string const& d = m_dir.path();
    std::string name = std::string("/CN=") + server_name;
    std::string pass = shell_quote(std::string("pass:") + key_password);
    openssl(d, "req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=Test-CA");
    openssl(d,
            "req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.pem -days 2 -subj /CN=Other-CA");
    openssl(d, "req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj " + name);
    write_file(m_dir.file("server.ext"), std::string("subjectAltName=DNS:") + server_name + "\n");
    openssl(d, "x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
               "-extfile server.ext -out server.pem");
    openssl(d, "pkey -in server.key -aes256 -passout " + pass + " -out server_enc.key");
    openssl(d, "rsa -in server.key -aes128 -traditional -passout " + pass + " -out server_legacy.key");
    openssl(d, "req -x509 -newkey rsa:2048 -nodes -keyout self.key -out self.pem -days 2 -subj " + name +
                   " -addext subjectAltName=DNS:" + server_name);
    ca_cert = m_dir.file("ca.pem");
    other_ca_cert = m_dir.file("other.pem");
    server_cert = m_dir.file("server.pem");
    server_key = m_dir.file("server.key");
    encrypted_key = m_dir.file("server_enc.key");
    legacy_encrypted_key = m_dir.file("server_legacy.key");
    self_signed_cert = m_dir.file("self.pem");
    self_signed_key = m_dir.file("self.key");
}

} // namespace test_support
