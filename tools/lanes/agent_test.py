#!/usr/bin/python3
"""The agent's channel against a peer of the test's own that runs each
command with sh -c, as the guest's agent does."""
import subprocess
import tempfile
import time
import unittest

from agent import Agent, agent_line
from harness import LaneError
from harness_test import SocketPeer


class FakeAgent(SocketPeer):
    """The guest's agent: says ready with boot-1 (after some noise of the
    port), then hands each command line to answer(ident, command)."""

    def __init__(self, folder, answer):
        def command(line):
            ident, _, words = line.decode().rstrip("\n").partition(" ")
            return answer(ident, words)

        super().__init__(folder, "agent.sock", (b"some noise from the port\n@@ready boot-1\n",),
                         command)


def run_with_sh(ident, command):
    ran = subprocess.run(["sh", "-c", command], capture_output=True, text=True)
    out = "".join(f"@@{ident} {line}\n" for line in ran.stdout.splitlines())
    return (out + f"@@end {ident} {ran.returncode}\n").encode()


class AgentTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def agent(self, answer):
        fake = FakeAgent(self.folder.name, answer)
        self.addCleanup(fake.close)
        agent = Agent(fake.path, timeout=30)
        self.addCleanup(agent.close)
        self.assertEqual(agent.wait_boot(1, 30), "boot-1")
        return agent

    def test_each_word_reaches_the_guest_as_it_is_and_the_status_comes_back(self):
        agent = self.agent(run_with_sh)
        words = ["two words", "it's", '"quoted"', "$HOME", "a;b", "*", "", "-n", "back\\slash"]
        reply = agent.run(["printf", "%s\\n", *words], timeout=30)
        self.assertEqual(reply, (0, words))
        self.assertEqual(agent.run(["sh", "-c", "echo out; exit 3"], timeout=30), (3, ["out"]))
        # Answers are told apart by their ids.
        self.assertEqual(agent.run(["echo", "again"], timeout=30).lines, ["again"])

    def test_a_command_lost_with_a_new_boot_fails_at_once(self):
        def answer(ident, command):
            # The guest reboots under the command: the new agent says ready.
            return b"@@ready boot-2\n"

        agent = self.agent(answer)
        begun = time.monotonic()
        with self.assertRaisesRegex(LaneError, r"started again \(boot boot-2\).*sleep 5"):
            agent.run(["sleep", "5"], timeout=3600)
        self.assertLess(time.monotonic() - begun, 60)
        self.assertEqual(agent.boots(), ["boot-1", "boot-2"])

    def test_no_answer_says_what_the_command_waited_for(self):
        agent = self.agent(lambda ident, command: b"@@" + ident.encode() + b" still going\n")
        with self.assertRaisesRegex(LaneError, r"within 0.2 s \(waiting for board x's run\): "
                                               r"guest count 1"):
            agent.run(["guest", "count", "1"], timeout=0.2, waiting_for="board x's run")

    def test_a_closed_channel_ends_the_wait(self):
        agent = self.agent(lambda ident, command: None)
        with self.assertRaisesRegex(LaneError, "closed before it answered"):
            agent.run(["true"], timeout=3600)

    def test_a_line_break_in_a_word_is_refused(self):
        agent = self.agent(run_with_sh)
        with self.assertRaisesRegex(LaneError, "line break"):
            agent.run(["echo", "one\ntwo"], timeout=30)


class LineTest(unittest.TestCase):
    def test_the_agents_lines(self):
        self.assertEqual(agent_line("@@ready 9f-2"), ("ready", "9f-2"))
        self.assertEqual(agent_line("@@end c12 124"), ("end", "c12", 124))
        self.assertEqual(agent_line("@@c12 "), ("out", "c12", ""))
        self.assertEqual(agent_line("@@c12 @@end c11 0"), ("out", "c12", "@@end c11 0"))
        self.assertEqual(agent_line("[  3.1] usb 1-1: new"), ("other", "[  3.1] usb 1-1: new"))


if __name__ == "__main__":
    unittest.main()
