#include "SnmpTestEnv.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace snmptest {

namespace {

// Readiness of a started server is checked this many times, 100 ms apart.
constexpr int kReadyAttempts = 100;

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    quoted += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

void PauseBeforeRetry() { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }

}  // namespace

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/tandril-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  m_path = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

void WriteFile(const std::string& path, const std::string& text) {
  // Written beside and renamed, so a reader never sees half a file.
  const std::string temporary = path + ".new";
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file << text;
  }
  std::rename(temporary.c_str(), path.c_str());
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

uint16_t FreeUdpPort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

Process::~Process() {
  if (Running()) {
    Signal(SIGKILL);
    Wait();
  }
}

void Process::Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                    const std::string& output_file) {
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  m_pid = ::fork();
  if (m_pid == 0) {
    for (const auto& [name, value] : env) {
      ::setenv(name.c_str(), value.c_str(), 1);
    }
    const int out = ::open(output_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(out, STDERR_FILENO);
    ::execv(args[0], args.data());
    std::_Exit(127);
  }
}

void Process::Signal(int signal_number) const {
  if (m_pid > 0) {
    ::kill(m_pid, signal_number);
  }
}

int Process::Wait() {
  int status = -1;
  if (m_pid > 0) {
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
  }
  return status;
}

bool Process::Exited() {
  int status = 0;
  if (m_pid > 0 && ::waitpid(m_pid, &status, WNOHANG) == m_pid) {
    m_pid = -1;
    return true;
  }
  return false;
}

int Process::Stop() {
  Signal(SIGTERM);
  return Wait();
}

ToolResult RunTool(const std::vector<std::string>& argv) {
  std::string command;
  for (const std::string& arg : argv) {
    command += Quote(arg) + " ";
  }
  command += "2>&1";
  ToolResult result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return result;
  }
  char buffer[4096];
  size_t size = 0;
  while ((size = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    result.output.append(buffer, size);
  }
  const int status = ::pclose(pipe);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

MasterAgent::MasterAgent(const std::string& extra_conf) : m_socket(m_dir.File("agentx.sock")) {
  ::mkdir(m_dir.File("conf").c_str(), 0755);
  ::mkdir(m_dir.File("persist").c_str(), 0755);
  // Only rwcommunity: a rocommunity line for the same source would win and
  // refuse every set.
  WriteFile(m_dir.File("conf/snmpd.conf"),
            "rwcommunity public 127.0.0.1\nmaster agentx\nagentXSocket " + m_socket + "\nagentXPerms 0700 0700\n" +
                extra_conf);
}

MasterAgent::~MasterAgent() { Stop(); }

void MasterAgent::Start() {
  for (int attempt = 0; attempt < 3; ++attempt) {
    m_port = FreeUdpPort();
    m_process.Start({"/usr/sbin/snmpd", "-f", "-Lf", m_dir.File("snmpd.log"), "-C", "-c",
                     m_dir.File("conf/snmpd.conf"), "udp:" + Address()},
                    {{"SNMP_PERSISTENT_DIR", m_dir.File("persist")}, {"MIBS", ""}}, m_dir.File("snmpd.out"));
    for (int check = 0; check < kReadyAttempts; ++check) {
      const ToolResult probe = RunTool({"snmpget", "-v2c", "-c", "public", "-t", "0.2", "-r", "0", Address(),
                                        "1.3.6.1.2.1.1.3.0"});
      if (probe.exit_code == 0 && std::filesystem::exists(m_socket)) {
        return;
      }
      PauseBeforeRetry();
    }
    m_process.Stop();  // the port was taken meanwhile: try another one
  }
  FAIL() << "snmpd did not start: " << ReadFile(m_dir.File("snmpd.log"));
}

void MasterAgent::Stop() {
  if (m_process.Running()) {
    m_process.Stop();
  }
}

AgentProcess::AgentProcess(const MasterAgent& master, const Options& options) : m_master(master) {
  ::mkdir(m_dir.File("conf").c_str(), 0755);
  ::mkdir(m_dir.File("persist").c_str(), 0755);
  WriteFile(m_dir.File("conf/tandril-snmp-agent.conf"),
            "agentXSocket " + master.AgentXSocket() + "\nagentXPingInterval 1\n" + options.confLines);
  if (!options.sysIdText.empty()) {
    WriteFile(m_dir.File("SYS-ID"), options.sysIdText);
  }
  // Never the machine's own /var/run: a player running there must not show in a test.
  m_run_dir = options.runDir.empty() ? m_dir.File("run") : options.runDir;
  std::vector<std::string> argv{TANDRIL_AGENT_PATH};
  argv.insert(argv.end(), options.args.begin(), options.args.end());
  m_process.Start(argv,
                   {{"SNMPCONFPATH", m_dir.File("conf")},
                    {"SNMP_PERSISTENT_DIR", m_dir.File("persist")},
                    {"MIBS", ""},
                    {"TANDRIL_LOG_STDERR", "1"},
                    {"TANDRIL_SYSID_FILE", m_dir.File("SYS-ID")},
                    {"TANDRIL_NETWORK_FILE", NetworkFile()},
                    {"TANDRIL_APP_PORT", std::to_string(options.appPort)},
                    {"TANDRIL_RUN_DIR", m_run_dir},
                    {"LSAN_OPTIONS", "suppressions=" TANDRIL_LSAN_SUPPRESSIONS}},
                   m_dir.File("agent.log"));
}

AgentProcess::~AgentProcess() { m_process.Stop(); }

bool AgentProcess::WaitServed(const std::string& oid) {
  SnmpClient client(m_master);
  for (int check = 0; check < kReadyAttempts; ++check) {
    const ToolResult result = client.Get(oid);
    if (result.exit_code == 0 && result.output.find("No Such") == std::string::npos) {
      return true;
    }
    PauseBeforeRetry();
  }
  return false;
}

ToolResult SnmpClient::Get(const std::string& oid) {
  return RunTool({"snmpget", "-v2c", "-c", "public", "-t", "2", "-r", "1", "-Oqv", m_master.Address(), oid});
}

long SnmpClient::GetInt(const std::string& oid) {
  const ToolResult result = Get(oid);
  EXPECT_EQ(result.exit_code, 0) << result.output;
  char* end = nullptr;
  const long value = std::strtol(result.output.c_str(), &end, 10);
  EXPECT_TRUE(end != result.output.c_str() && (*end == '\n' || *end == '\0')) << "not an integer: " << result.output;
  return value;
}

std::string SnmpClient::GetBytes(const std::string& oid) {
  const ToolResult result =
      RunTool({"snmpget", "-v2c", "-c", "public", "-t", "2", "-r", "1", "-Oqvx", m_master.Address(), oid});
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(result.output.find("No Such"), std::string::npos) << result.output;
  std::string bytes;
  std::istringstream hex(result.output);
  std::string token;
  while (hex >> token) {
    // The first byte comes with the opening quote: "41 42 ..."
    if (!token.empty() && token.front() == '"') {
      token.erase(0, 1);
    }
    if (token.size() == 2 && std::isxdigit(static_cast<unsigned char>(token[0])) &&
        std::isxdigit(static_cast<unsigned char>(token[1]))) {
      bytes += static_cast<char>(std::stoi(token, nullptr, 16));
    }
  }
  return bytes;
}

ToolResult SnmpClient::Walk(const std::string& oid) {
  return RunTool({"snmpwalk", "-v2c", "-c", "public", "-t", "2", "-r", "1", "-On", "-Oq", m_master.Address(), oid});
}

ToolResult SnmpClient::Set(const std::string& oid, const std::string& type, const std::string& value) {
  return RunTool({"snmpset", "-v2c", "-c", "public", "-t", "2", "-r", "1", m_master.Address(), oid, type, value});
}

std::string TandrilOid(int sys_id, int index) {
  return "1.3.6.1.4.1." + std::to_string(TANDRIL_ENTERPRISE_NUMBER) + ".1." + std::to_string(sys_id) + "." +
         std::to_string(index) + ".0";
}

std::string PlayerOid(int column, int channel) {
  return "1.3.6.1.4.1." + std::to_string(TANDRIL_ENTERPRISE_NUMBER) + ".2.1.1." + std::to_string(column) + "." +
         std::to_string(channel);
}

std::string NotificationOid(int number) {
  return "1.3.6.1.4.1." + std::to_string(TANDRIL_ENTERPRISE_NUMBER) + ".4.0." + std::to_string(number);
}

std::string HostNameOid() { return "1.3.6.1.4.1." + std::to_string(TANDRIL_ENTERPRISE_NUMBER) + ".3.1.1.0"; }

long Trap::Int(const std::string& name) const {
  const auto found = vars.find(name);
  EXPECT_NE(found, vars.end()) << "no binding " << name;
  if (found == vars.end()) return -1;
  const std::string& value = found->second;
  const std::string::size_type colon = value.find(": ");
  // "INTEGER: 5", "Gauge32: 3"; an enumeration would print as "name(5)".
  return std::strtol(value.c_str() + (colon == std::string::npos ? 0 : colon + 2), nullptr, 10);
}

std::string Trap::Text(const std::string& name) const {
  const auto found = vars.find(name);
  EXPECT_NE(found, vars.end()) << "no binding " << name;
  if (found == vars.end()) return "";
  const std::string& value = found->second;
  if (value == "\"\"") return "";
  if (value.rfind("STRING: \"", 0) == 0 && value.size() >= 10 && value.back() == '"') {
    std::string text;
    for (std::size_t i = 9; i + 1 < value.size(); ++i) {
      if (value[i] == '\\' && i + 2 < value.size()) ++i;  // \" and \\ as printed
      text += value[i];
    }
    return text;
  }
  std::string bytes;
  std::istringstream hex(value.substr(value.find(": ") + 2));
  std::string token;
  while (hex >> token) bytes += static_cast<char>(std::stoi(token, nullptr, 16));
  return bytes;
}

TrapReceiver::TrapReceiver() {
  ::mkdir(m_dir.File("persist").c_str(), 0755);
  // One line per notification: the bindings, each "name = TYPE: value", after "TRAP" and
  // a '|' before each.
  WriteFile(m_dir.File("snmptrapd.conf"), "disableAuthorization yes\nformat2 TRAP|%V|%v\\n\n");
}

TrapReceiver::~TrapReceiver() {
  if (m_process.Running()) m_process.Stop();
}

void TrapReceiver::Start() {
  for (int attempt = 0; attempt < 3; ++attempt) {
    m_port = FreeUdpPort();
    ::unlink(m_dir.File("traps.log").c_str());
    m_process.Start({"/usr/sbin/snmptrapd", "-f", "-n", "-On", "-Lf", m_dir.File("traps.log"), "-C", "-c",
                     m_dir.File("snmptrapd.conf"), "udp:127.0.0.1:" + std::to_string(m_port)},
                    {{"SNMP_PERSISTENT_DIR", m_dir.File("persist")}, {"MIBS", ""}}, m_dir.File("snmptrapd.out"));
    for (int check = 0; check < kReadyAttempts && !m_process.Exited(); ++check) {
      // It names its version once it listens.
      if (ReadFile(m_dir.File("traps.log")).find("NET-SNMP version") != std::string::npos) return;
      PauseBeforeRetry();
    }
    if (m_process.Running()) m_process.Stop();  // the port was taken meanwhile: another one
  }
  FAIL() << "snmptrapd did not start: " << ReadFile(m_dir.File("snmptrapd.out"));
}

const std::vector<Trap>& TrapReceiver::Traps() {
  const std::string log = ReadFile(m_dir.File("traps.log"));
  const auto now = std::chrono::steady_clock::now();
  while (m_read < log.size()) {
    const std::string::size_type end = log.find('\n', m_read);
    if (end == std::string::npos) break;  // the rest is still being written
    const std::string line = log.substr(m_read, end - m_read);
    m_read = end + 1;
    if (line.rfind("TRAP|", 0) != 0) continue;
    Trap trap;
    trap.seen = now;
    // Each binding begins at "|." followed by its numeric name.
    std::string::size_type at = line.find("|.");
    while (at != std::string::npos) {
      const std::string::size_type next = line.find("|.1.3.6.", at + 1);
      const std::string binding = line.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2);
      at = next;
      const std::string::size_type equals = binding.find(" = ");
      if (equals == std::string::npos) continue;
      trap.vars[binding.substr(0, equals)] = binding.substr(equals + 3);
    }
    const auto trap_oid = trap.vars.find("1.3.6.1.6.3.1.1.4.1.0");
    if (trap_oid != trap.vars.end() && trap_oid->second.rfind("OID: .", 0) == 0) {
      trap.oid = trap_oid->second.substr(6);
    }
    m_traps.push_back(std::move(trap));
  }
  return m_traps;
}

bool TrapReceiver::WaitUntil(const std::function<bool(const std::vector<Trap>&)>& done,
                             std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (done(Traps())) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace snmptest
