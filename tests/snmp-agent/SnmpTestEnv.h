#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

// Test support for the agent: temporary folders, child processes, a real
// snmpd master agent on loopback and the net-snmp command-line tools.
namespace snmptest {

// A temporary folder, removed with everything in it.
class TempDir final {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return m_path; }
  std::string File(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

void WriteFile(const std::string& path, const std::string& text);
std::string ReadFile(const std::string& path);
// A UDP port on 127.0.0.1 that was free a moment ago.
uint16_t FreeUdpPort();

// A child process with its own environment additions and its output
// (stdout and stderr) in a file.
class Process final {
 public:
  Process() = default;
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  void Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             const std::string& output_file);
  bool Running() const { return m_pid > 0; }
  // True (and reaped) once the process has ended by itself.
  bool Exited();
  void Signal(int signal_number) const;
  // Waits for the end; returns the raw wait status.
  int Wait();
  // Sends SIGTERM (when still running) and waits.
  int Stop();

 private:
  pid_t m_pid = -1;
};

// Output and exit code of a command-line tool.
struct ToolResult {
  int exit_code = -1;
  std::string output;
};
ToolResult RunTool(const std::vector<std::string>& argv);

// A real snmpd acting as AgentX master on 127.0.0.1, its AgentX socket and
// configuration in a temporary folder (configuration outside the persistent
// folder, where snmpd would merge its own saved state).
class MasterAgent final {
 public:
  // extra_conf: more lines for snmpd.conf (for example a trap2sink).
  explicit MasterAgent(const std::string& extra_conf = "");
  ~MasterAgent();
  void Start();
  void Stop();
  std::string Address() const { return "127.0.0.1:" + std::to_string(m_port); }
  const std::string& AgentXSocket() const { return m_socket; }
  const TempDir& Dir() const { return m_dir; }

 private:
  TempDir m_dir;
  uint16_t m_port = 0;
  std::string m_socket;
  Process m_process;
};

// The built agent as a child process, wired to a master agent and to files
// and a port of the test's choice.
class AgentProcess final {
 public:
  struct Options {
    std::string sysIdText = "10.0.0.155";  // empty: no SYS-ID file
    uint16_t appPort = 0;
    std::vector<std::string> args;  // command-line options
    std::string confLines;          // more lines for tandril-snmp-agent.conf
    std::string runDir;             // TANDRIL_RUN_DIR; empty: a folder of the agent's own
  };
  AgentProcess(const MasterAgent& master, const Options& options);
  ~AgentProcess();

  std::string NetworkFile() const { return m_dir.File("network"); }
  // Where the agent looks for the players of channels nobody named (TANDRIL_RUN_DIR).
  std::string RunDir() const { return m_run_dir; }
  std::string Log() const { return ReadFile(m_dir.File("agent.log")); }
  // Waits until the master agent serves 'oid' from this agent.
  bool WaitServed(const std::string& oid);
  int Stop() { return m_process.Stop(); }
  void Signal(int signal_number) { m_process.Signal(signal_number); }
  int Wait() { return m_process.Wait(); }

 private:
  const MasterAgent& m_master;
  TempDir m_dir;
  std::string m_run_dir;
  Process m_process;
};

// One notification as a trap receiver logged it.
struct Trap {
  std::string oid;                          // snmpTrapOID.0, numeric, without a leading dot
  std::map<std::string, std::string> vars;  // binding name (numeric) -> "TYPE: value"
  std::chrono::steady_clock::time_point seen;  // when the test first read it

  // The value of an INTEGER or Gauge32 binding; fails the test when missing.
  long Int(const std::string& name) const;
  // The text of an OCTET STRING binding (printed as STRING or Hex-STRING).
  std::string Text(const std::string& name) const;
};

// A real snmptrapd on 127.0.0.1 (free port) that accepts every notification and logs
// each on one line; the test reads them from the log.
class TrapReceiver final {
 public:
  TrapReceiver();
  ~TrapReceiver();
  void Start();
  uint16_t Port() const { return m_port; }
  // Every notification received so far, in order; the newly read ones get 'seen' now.
  const std::vector<Trap>& Traps();
  // Polls (every 50 ms) until done(Traps()) holds; false after 'limit'.
  bool WaitUntil(const std::function<bool(const std::vector<Trap>&)>& done,
                 std::chrono::milliseconds limit);

 private:
  TempDir m_dir;
  uint16_t m_port = 0;
  Process m_process;
  std::size_t m_read = 0;  // bytes of the log already parsed
  std::vector<Trap> m_traps;
};

// Client side, through snmpget/snmpset.
class SnmpClient final {
 public:
  explicit SnmpClient(const MasterAgent& master) : m_master(master) {}
  // The value of an INTEGER object; fails the test on any error.
  long GetInt(const std::string& oid);
  // The bytes of an OCTET STRING object.
  std::string GetBytes(const std::string& oid);
  // The raw snmpget output for 'oid' (value only).
  ToolResult Get(const std::string& oid);
  // snmpwalk below 'oid', numeric identifiers and values ("oid value" lines).
  ToolResult Walk(const std::string& oid);
  // snmpset with type letter and value.
  ToolResult Set(const std::string& oid, const std::string& type, const std::string& value);

 private:
  const MasterAgent& m_master;
};

// 1.3.6.1.4.1.E.1.<sysId>.<index>.0 and the host name object.
std::string TandrilOid(int sys_id, int index);
// 1.3.6.1.4.1.E.2.1.1.<column>.<channel>: a cell of the players' table.
std::string PlayerOid(int column, int channel);
std::string HostNameOid();
// 1.3.6.1.4.1.E.4.0.<number>: a notification of the agent.
std::string NotificationOid(int number);

}  // namespace snmptest
