#pragma once

// Starts tests/support/http/test_http_server.py on 127.0.0.1 and a free port for one
// test (or suite) and stops it again. Routes are the server's JSON route table.
// Link the `http_testkit` target to get the script and interpreter paths.

#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testkit {

class HttpTestServer final {
public:
    // dir: a writable folder for the route table and the request log (one per server).
    // With tls_cert and tls_key (PEM files) the server speaks HTTPS with that certificate.
    HttpTestServer(const std::string& dir, const std::string& routes_json, const std::string& tls_cert = "",
                   const std::string& tls_key = "")
        : m_routes_path(dir + "/routes.json"),
          m_log_path(dir + "/requests.log"),
          m_tls_cert(tls_cert),
          m_tls_key(tls_key)
    {
        std::ofstream(m_routes_path) << routes_json;
        std::ofstream(m_log_path).close();
        Start();
    }
    ~HttpTestServer() { Stop(); }
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    int port() const { return m_port; }
    bool running() const { return m_port > 0; }
    std::string url(const std::string& path) const
    {
        return (m_tls_cert.empty() ? "http://127.0.0.1:" : "https://127.0.0.1:") + std::to_string(m_port) + path;
    }
    // Every request so far: "<METHOD> <path>", its raw header lines, an empty line.
    std::string requests() const
    {
        std::ifstream in(m_log_path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    void Stop()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            int status = 0;
            waitpid(m_pid, &status, 0);
            m_pid = -1;
        }
        if (m_stdout) {
            fclose(m_stdout);
            m_stdout = nullptr;
        }
        if (m_watch_fd >= 0) {
            close(m_watch_fd);
            m_watch_fd = -1;
        }
    }

private:
    void Start()
    {
        int fds[2];
        int watch[2];  // the server ends when this pipe closes, even if we crash
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return;
        }
        if (pipe2(watch, O_CLOEXEC) != 0) {
            close(fds[0]);
            close(fds[1]);
            return;
        }
        m_pid = fork();
        if (m_pid == 0) {
            dup2(fds[1], STDOUT_FILENO);
            dup2(watch[0], STDIN_FILENO);
            if (m_tls_cert.empty()) {
                execl(QUILLON_PYTHON3, QUILLON_PYTHON3, QUILLON_TEST_HTTP_SERVER, "--routes",
                      m_routes_path.c_str(), "--log", m_log_path.c_str(), "--watch-stdin",
                      static_cast<char*>(nullptr));
            } else {
                execl(QUILLON_PYTHON3, QUILLON_PYTHON3, QUILLON_TEST_HTTP_SERVER, "--routes",
                      m_routes_path.c_str(), "--log", m_log_path.c_str(), "--watch-stdin", "--tls-cert",
                      m_tls_cert.c_str(), "--tls-key", m_tls_key.c_str(), static_cast<char*>(nullptr));
            }
            _exit(127);
        }
        close(fds[1]);
        close(watch[0]);
        m_watch_fd = watch[1];
        m_stdout = fdopen(fds[0], "r");
        // Blocks until the server announces its port (or exits).
        if (m_stdout && fscanf(m_stdout, "PORT %d", &m_port) != 1) {
            m_port = 0;
        }
    }

    std::string m_routes_path;
    std::string m_log_path;
    std::string m_tls_cert;
    std::string m_tls_key;
    pid_t m_pid = -1;
    FILE* m_stdout = nullptr;
    int m_watch_fd = -1;
    int m_port = 0;
};

}  // namespace testkit
