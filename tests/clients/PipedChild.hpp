#pragma once
// A test client started with pipes on its standard input and output, so a driver can send it
// commands and read its lines.

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "runtime/ProcessSpawn.hpp"

namespace qbtest {

struct PipedChild {
  pid_t pid = -1;  // -1: nothing started, both descriptors -1
  int in = -1;     // the child's standard input, ours to write and close
  int out = -1;    // the child's standard output, ours to read and close
};

// `err`: the child's standard error (-1: /dev/null); `envp` null: this environment.
inline PipedChild spawnPiped(const std::vector<std::string>& argv, int err, char* const* envp = nullptr) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return {};
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return {};
  }
  const pid_t pid = qb::spawnWithDefaultSignals(argv, in[0], out[1], err, envp);
  ::close(in[0]);
  ::close(out[1]);
  if (pid <= 0) {
    ::close(in[1]);
    ::close(out[0]);
    return {};
  }
  return {pid, in[1], out[0]};
}

}  // namespace qbtest
