// Shared by the settings tests. Loading happens once per process, and CTest
// runs every discovered test case as a process of its own, so each case
// starts as a fresh point-of-sale program would: nothing loaded. The fixture
// also puts the process-start values back, so a hand run of the whole
// binary behaves the same.
#pragma once

#include "settings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zunra_settings_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setenv("ZUNRA_SAT_DIR", dir_.c_str(), 1);
    for (char* text : {SAT_SERIAL, SAT_DEBUG, SAT_NOPOPUP, SAT_CORRECAO, SAT_LOCK, SAT_RET_10001}) text[0] = '\0';
    ModoDebug = Corrigir = Ret10001 = 0;
    ModoLock = NumTent = 1;
    TmpTent = 6;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void write_ini(const std::string& text) { std::ofstream(dir_ + "/sat.ini") << text; }

  // Writes the file and loads it as the first call of a process would.
  void load(const std::string& text) {
    write_ini(text);
    init_lib();
  }

  // Driver-log lines written since the last call, without their timestamps.
  std::vector<std::string> take_log() {
    std::vector<std::string> lines;
    std::ifstream in(dir_ + "/lib_zunra_dorvex.log");
    for (std::string line; std::getline(in, line);) lines.push_back(line.substr(line.find(": ") + 2));
    std::filesystem::remove(dir_ + "/lib_zunra_dorvex.log");
    return lines;
  }

  // Standard output printed by `run`.
  template <class F>
  std::string stdout_of(F run) {
    std::fflush(stdout);
    std::string path = dir_ + "/stdout";
    int saved = dup(1);
    std::FILE* f = std::fopen(path.c_str(), "w");
    dup2(fileno(f), 1);
    run();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::fclose(f);
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
  }

  std::string dir_;
};
