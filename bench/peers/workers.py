"""The harness's side of the worker processes: start one for a contender (and
Chroma's server where the contender needs it), send requests, read answers
within a time limit, measure its resident memory, stop it."""

import json
import os
import queue
import signal
import socket
import subprocess
import threading
import time
import urllib.request
from dataclasses import dataclass

HERE = os.path.dirname(os.path.abspath(__file__))
REPOSITORY = os.path.dirname(os.path.dirname(HERE))
NODE_DIR = os.path.join(HERE, "node")
PYTHON = "/usr/bin/python3"


@dataclass(frozen=True)
class Contender:
    """label: the name in the report; kind: "python" or "node"; module: the
    file under contenders/ or node/; server: started for each database."""
    label: str
    kind: str
    module: str
    server: bool = False
    floor: bool = False


_running: set = set()  # workers not yet stopped, for stop_all


def stop_all() -> None:
    """Kills every worker still running and its server: a run that is
    interrupted leaves no process behind."""
    for worker in list(_running):
        worker.kill()


class WorkerFailed(RuntimeError):
    """The worker died, timed out or could not start; it has been stopped."""


class TimedOut(WorkerFailed):
    pass


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _children(pid: int) -> list[int]:
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as children:
            return [int(child) for child in children.read().split()]
    except FileNotFoundError:
        return []


def resident_kib(pid: int) -> int:
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except FileNotFoundError:
        pass
    return 0


class ChromaServer:
    """Chroma's local server on 127.0.0.1 over one database directory."""

    def __init__(self, directory: str, log_dir: str, prefix: list[str] = (), timeout: float = 120):
        self.port = free_port()
        self.traced = bool(prefix)
        os.makedirs(directory, exist_ok=True)
        program = os.path.join(NODE_DIR, "node_modules", ".bin", "chroma")
        self.log = open(os.path.join(log_dir, "chroma-server.log"), "ab")
        started = time.perf_counter()
        self.process = subprocess.Popen(
            [*prefix, program, "run", "--path", directory, "--host", "127.0.0.1", "--port", str(self.port)],
            stdout=self.log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        url = f"http://127.0.0.1:{self.port}/api/v2/heartbeat"
        while True:
            try:
                with urllib.request.urlopen(url, timeout=1):
                    break
            except OSError:
                if self.process.poll() is not None or time.perf_counter() - started > timeout:
                    self.stop()
                    raise WorkerFailed("Chroma's server did not start; see chroma-server.log")
                time.sleep(0.05)
        self.start_s = time.perf_counter() - started

    def stop(self) -> None:
        if self.process.poll() is None:
            # Under a tracer, the server is the tracer's child: a signal to the
            # tracer would only detach it and leave the server running.
            for pid in _children(self.process.pid) if self.traced else ():
                os.kill(pid, signal.SIGTERM)
            if not self.traced:
                self.process.terminate()
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()


def _environment(scratch: str, extra: dict) -> dict:
    environment = dict(os.environ)
    # Set on some processors to work around old OpenBLAS faults; they slow a
    # current one, so the contenders run without both (their answers are
    # checked against the reference all the same).
    environment.pop("OPENBLAS_CORETYPE", None)
    environment.pop("OPENBLAS_L2_SIZE", None)
    build = os.path.join(REPOSITORY, os.environ.get("QUORVEL_BUILD", "build"))
    environment["PYTHONPATH"] = os.path.join(build, "bindings", "quorvel_engine")
    environment["QUORVEL_BENCH_SCRATCH"] = scratch
    environment.update(extra)
    return environment


class Worker:
    """One worker process serving one contender. For a contender with a server,
    `directory` is the database the server is started over (None: no server,
    enough to ask for the contender's info)."""

    def __init__(self, contender: Contender, scratch: str, directory: str | None = None,
                 prefix: list[str] = (), server_prefix: list[str] = (), timeout: float = 120):
        self.contender = contender
        self.server = None
        extra = {}
        started = time.perf_counter()
        if contender.server and directory is not None:
            self.server = ChromaServer(directory, scratch, list(server_prefix), timeout)
            extra["CHROMA_PORT"] = str(self.server.port)
        if contender.kind == "python":
            command = [PYTHON, os.path.join(HERE, "worker.py"), contender.module]
        else:
            command = ["node", os.path.join(NODE_DIR, "worker.mjs"), contender.module]
        self.stderr = open(os.path.join(scratch, f"{contender.module}.stderr.log"), "ab")
        try:
            self.process = subprocess.Popen([*prefix, *command], stdin=subprocess.PIPE,
                                            stdout=subprocess.PIPE, stderr=self.stderr,
                                            env=_environment(scratch, extra), cwd=scratch, text=True)
        except OSError as error:
            self._stop_server()
            raise WorkerFailed(f"{command[0]}: {error.strerror}") from error
        _running.add(self)
        self.answers = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        hello = self._answer(timeout)
        self.ready_s = time.perf_counter() - started
        if not hello.get("ready"):
            self.stop()
            raise WorkerFailed(hello.get("error", "did not start"))
        self.info = hello["info"]

    def _read(self) -> None:
        for line in self.process.stdout:
            self.answers.put(line)
        self.answers.put(None)

    def _answer(self, timeout: float) -> dict:
        try:
            line = self.answers.get(timeout=timeout)
        except queue.Empty:
            self.kill()
            raise TimedOut(f"no answer within {timeout:.0f} s") from None
        if line is None:
            self.kill()
            raise WorkerFailed(f"the worker ended (exit status {self.process.wait()}); see its stderr log")
        return json.loads(line)

    def call(self, op: str, timeout: float, **arguments) -> dict:
        """The answer to one request: {"ok": True, ...} or {"ok": False, "error": ...,
        "unsupported": bool}. Raises WorkerFailed when the worker dies or times out."""
        self.process.stdin.write(json.dumps({"op": op, **arguments}) + "\n")
        self.process.stdin.flush()
        return self._answer(timeout)

    def resident_kib(self) -> int:
        """Resident memory of the worker and of its server, if any."""
        total = resident_kib(self.process.pid)
        if self.server:
            total += resident_kib(self.server.process.pid)
        return total

    def stop(self, timeout: float = 60) -> None:
        """Asks the worker to finish (so that a tracer wrapping it writes its
        summary), then stops the server."""
        if self.process.poll() is None:
            try:
                self.process.stdin.write(json.dumps({"op": "quit"}) + "\n")
                self.process.stdin.close()
                self.process.wait(timeout)
            except (OSError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()
        self.stderr.close()
        self._stop_server()
        _running.discard(self)

    def kill(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.stderr.close()
        self._stop_server()
        _running.discard(self)

    def _stop_server(self) -> None:
        if self.server:
            self.server.stop()
            self.server = None
