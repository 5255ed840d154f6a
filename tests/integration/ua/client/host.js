// Starts the endpoint's test host and talks to it over its standard input and output.
"use strict";
const { spawn } = require("child_process");
const readline = require("readline");

class Host {
  constructor(path, args) {
    this.lines = [];
    this.waiters = [];
    this.proc = spawn(path, args, { stdio: ["pipe", "pipe", "inherit"] });
    this.exited = new Promise((resolve) => this.proc.on("exit", (code) => resolve(code)));
    readline.createInterface({ input: this.proc.stdout }).on("line", (line) => {
      this.lines.push(line);
      this.waiters = this.waiters.filter((w) => !w(line));
    });
  }
  // Resolves with the first line (already seen or coming) that matches re.
  waitLine(re, timeoutMs = 10000, fromIndex = 0) {
    const seen = this.lines.slice(fromIndex).find((l) => re.test(l));
    if (seen) return Promise.resolve(seen);
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`host: no line matching ${re} within ${timeoutMs} ms`)), timeoutMs);
      this.waiters.push((line) => {
        if (!re.test(line)) return false;
        clearTimeout(timer);
        resolve(line);
        return true;
      });
    });
  }
  async port() {
    const line = await this.waitLine(/^PORT \d+/);
    return Number(line.split(" ")[1]);
  }
  send(command) { this.proc.stdin.write(command + "\n"); }
  async command(command, re, timeoutMs = 10000) {
    const from = this.lines.length;
    this.send(command);
    return this.waitLine(re, timeoutMs, from);
  }
  async stats() {
    const line = await this.command("stats", /^STATS /);
    const out = {};
    for (const kv of line.split(" ").slice(1)) {
      const [k, v] = kv.split("=");
      out[k] = Number(v);
    }
    return out;
  }
  calls(name) { return this.lines.filter((l) => l === "CALL " + name).length; }
  async quit() {
    this.send("quit");
    const timer = setTimeout(() => this.proc.kill("SIGKILL"), 10000);
    const code = await this.exited;
    clearTimeout(timer);
    return code;
  }
}

module.exports = { Host };
