"""Kernel processes: the command line, process groups, terminate, kill and restart, reaping."""
import asyncio
import json
import os
import signal
import tempfile

from tests.integration.harness import TIMEOUT, ServerProcess, ServerTestCase, connect, get, recv_type, until

HERE = os.path.dirname(os.path.abspath(__file__))
FAKE = os.path.join(HERE, "fake_kernel.py")


def read_events(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        # A line still being written (no line feed yet) is not there yet.
        return [json.loads(line) for line in f if line.endswith("\n")]


async def events_when(path, predicate, timeout=TIMEOUT):
    """The events written so far, once `predicate` holds for them."""
    if not await until(lambda: predicate(read_events(path)), timeout):
        raise AssertionError("events never matched: %s" % read_events(path))
    return read_events(path)


def alive(pid):
    # A process that goes while its entry is read (ENOENT, ESRCH) is gone.
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(") ", 1)[1].split()[0] != "Z"
    except (OSError, IndexError):
        return False


def zombies_of(ppid):
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name) as f:
                fields = f.read().split(") ")[1].split()
        except OSError:
            continue
        if fields[0] == "Z" and int(fields[1]) == ppid:
            found.append(int(name))
    return found


class FakeKernels(ServerTestCase):
    mode = ""

    def setUp(self):
        self.events_file = tempfile.NamedTemporaryFile(prefix="fake-kernel-", delete=False).name
        os.unlink(self.events_file)
        self.server = ServerProcess("--python", FAKE,
                                    env={"FAKE_KERNEL_LOG": self.events_file, "FAKE_KERNEL_MODE": self.mode})

    def tearDown(self):
        pids = [e["pid"] for e in read_events(self.events_file) if e["event"] == "start"]
        self.server.stop()
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        if os.path.exists(self.events_file):
            os.unlink(self.events_file)

    def starts(self):
        return [e for e in read_events(self.events_file) if e["event"] == "start"]


class CommandLine(FakeKernels):
    async def test_argv_without_and_with_query_parameters(self):
        plain = await connect(self.server, "addin", "wbplain")
        await plain.send(json.dumps({"type": "spawn_kernel"}))
        events = await events_when(self.events_file, lambda ev: len(ev) >= 1)
        self.assertEqual(events[0]["argv"],
                         ["-m", "corvane_master.python_server", "wbplain", str(self.server.port), "{}"])
        named = await connect(self.server, "addin", "wbargs", "?name=Book%201&mode=fast")
        await named.send(json.dumps({"type": "spawn_kernel"}))
        events = await events_when(self.events_file, lambda ev: len(ev) >= 2)
        self.assertEqual(events[1]["argv"][2:],
                         ["wbargs", str(self.server.port), '{"name": "Book 1", "mode": "fast"}'])
        self.assertTrue(await self.server.log_seen("Spawned kernel for workbook: wbargs"))
        await plain.close()
        await named.close()

    async def test_each_kernel_leads_its_own_process_group(self):
        addin = await connect(self.server, "addin", "wb")
        await addin.send(json.dumps({"type": "spawn_kernel"}))
        start = (await events_when(self.events_file, lambda ev: len(ev) >= 1))[0]
        self.assertEqual(start["pgid"], start["pid"])
        self.assertNotEqual(start["pgid"], os.getpgid(self.server.proc.pid))
        self.assertEqual(start["ppid"], self.server.proc.pid)
        await addin.close()

    async def test_addin_disconnect_terminates_its_kernel(self):
        addin = await connect(self.server, "addin", "wb")
        await addin.send(json.dumps({"type": "spawn_kernel"}))
        start = (await events_when(self.events_file, lambda ev: len(ev) >= 1))[0]
        await addin.close()
        await events_when(self.events_file, lambda ev: any(e["event"] == "sigterm" for e in ev))
        self.assertTrue(await until(lambda: not alive(start["pid"])))
        self.assertTrue(await until(lambda: zombies_of(self.server.proc.pid) == []))

    async def test_terminate_kernel_message(self):
        ide = await connect(self.server, "ide", "wb")
        await ide.send(json.dumps({"type": "spawn_kernel"}))
        await events_when(self.events_file, lambda ev: len(ev) >= 1)
        await ide.send(json.dumps({"type": "terminate_kernel"}))
        await events_when(self.events_file, lambda ev: any(e["event"] == "sigterm" for e in ev))
        await ide.close()

    async def test_kill_kernel_for_unknown_workbook_replies_false_to_addin_and_editors(self):
        ide = await connect(self.server, "ide", "main")
        addin = await connect(self.server, "addin", "ghost")
        await addin.send(json.dumps({"type": "kill_kernel"}))
        expected = {"type": "kill_kernel_response", "workbook_id": "ghost", "success": False}
        self.assertEqual(await recv_type(addin, "kill_kernel_response"), expected)
        self.assertEqual(await recv_type(ide, "kill_kernel_response"), expected)
        self.assertTrue(await self.server.log_seen("No kernel found for workbook: ghost"))
        self.assertEqual(self.starts(), [])
        await addin.close()
        await ide.close()

    async def test_repeated_kills_restart_and_leave_no_zombies(self):
        addin = await connect(self.server, "addin", "wb")
        ide = await connect(self.server, "ide", "main")
        await addin.send(json.dumps({"type": "spawn_kernel"}))
        await events_when(self.events_file, lambda ev: len(ev) >= 1)
        for round_number in range(3):
            await ide.send(json.dumps({"type": "kill_kernel", "workbook_id": "wb"}))
            reply = await recv_type(ide, "kill_kernel_response")
            self.assertEqual(reply, {"type": "kill_kernel_response", "workbook_id": "wb", "success": True})
            self.assertEqual((await recv_type(addin, "kill_kernel_response"))["success"], True)
            # Let the new kernel come up before the next kill.
            await events_when(self.events_file,
                        lambda ev: len([e for e in ev if e["event"] == "start"]) >= round_number + 2)
        pids = [e["pid"] for e in self.starts()]
        self.assertEqual(len(set(pids)), 4)
        for pid in pids[:-1]:
            self.assertTrue(await until(lambda: not alive(pid)), pid)
        self.assertTrue(alive(pids[-1]))
        self.assertTrue(await until(lambda: zombies_of(self.server.proc.pid) == []))
        self.assertTrue(await self.server.log_seen("Successfully restarted kernel for workbook: wb"))
        self.assertTrue(await self.server.log_seen("[BusinessLayer] Kernel killed and restarted successfully for: wb"))
        await addin.close()
        await ide.close()

    async def test_second_spawn_stops_the_first_kernel_instead_of_losing_it(self):
        addin = await connect(self.server, "addin", "wb")
        await addin.send(json.dumps({"type": "spawn_kernel"}))
        first = (await events_when(self.events_file, lambda ev: len(ev) >= 1))[0]
        await addin.send(json.dumps({"type": "spawn_kernel"}))
        second = await events_when(self.events_file, lambda ev: len(self.starts()) >= 2) and self.starts()[1]
        self.assertTrue(await until(lambda: not alive(first["pid"])))
        self.assertTrue(alive(second["pid"]))
        # The one kernel left is the workbook's: the add-in's departure stops it.
        await addin.close()
        self.assertTrue(await until(lambda: not alive(second["pid"])))


class StubbornKernel(FakeKernels):
    mode = "ignore-term"

    async def test_kill_follows_up_with_sigkill_and_the_server_survives(self):
        addin = await connect(self.server, "addin", "wb")
        await addin.send(json.dumps({"type": "spawn_kernel"}))
        # "start" is written after the SIGTERM handler is installed.
        first = (await events_when(self.events_file, lambda ev: len(ev) >= 1))[0]
        await addin.send(json.dumps({"type": "kill_kernel"}))
        reply = await recv_type(addin, "kill_kernel_response")
        self.assertTrue(reply["success"])
        events = await events_when(self.events_file, lambda ev: len([e for e in ev if e["event"] == "start"]) >= 2)
        self.assertTrue(any(e["event"] == "sigterm" and e["pid"] == first["pid"] for e in events))
        self.assertTrue(await until(lambda: not alive(first["pid"])))
        self.assertEqual(get(self.server.port, "/")[0], 200)
        self.assertTrue(await until(lambda: zombies_of(self.server.proc.pid) == []))
        await addin.close()

    async def test_server_stop_leaves_no_kernel_behind(self):
        addin = await connect(self.server, "addin", "wb")
        await addin.send(json.dumps({"type": "spawn_kernel"}))
        first = (await events_when(self.events_file, lambda ev: len(ev) >= 1))[0]
        self.assertEqual(self.server.stop(), 0)
        self.assertTrue(await until(lambda: not alive(first["pid"])))


class SpawnFailure(ServerTestCase):
    server_args = ("--python", "/nonexistent/python3")

    async def test_missing_interpreter_is_logged_not_fatal(self):
        addin = await connect(self.server, "addin", "wb")
        await addin.send(json.dumps({"type": "spawn_kernel"}))
        self.assertTrue(await self.server.log_seen("Failed to spawn kernel for wb: "))
        await addin.send(json.dumps({"type": "kill_kernel"}))
        self.assertFalse((await recv_type(addin, "kill_kernel_response"))["success"])
        self.assertEqual(get(self.server.port, "/")[0], 200)
        await addin.close()


class RealKernel(ServerTestCase):
    async def test_spawned_kernel_connects_back(self):
        addin = await connect(self.server, "addin", "wbreal", "?name=Real")
        await addin.send(json.dumps({"type": "spawn_kernel"}))
        kernels = lambda: json.loads(get(self.server.port, "/connections")[2])["kernel"]
        self.assertTrue(await until(lambda: kernels() != [], timeout=TIMEOUT, interval=0.1))
        self.assertEqual(kernels(), ["wbreal"])
        self.assertTrue(await self.server.log_seen("Client connected: kernel/wbreal"))
        await addin.close()
        # The add-in's departure stops the kernel; its connection goes with it.
        self.assertTrue(await until(lambda: kernels() == [], timeout=TIMEOUT, interval=0.1))
