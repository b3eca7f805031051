# SPDX-License-Identifier: ISC
"""The lab that the tests, the demonstration and the benchmark share:

- netns: a network and mount namespace of this process's own, and the two sides in it;
- frames: frames into the Ethernet side, packets out of the nas side, the trace of a frame;
- daemon: the build under test, the daemon's life (start, wait, SIGTERM, end) and its words;
- board: the emulated MIPS board, from the host.

Import it with tools/ on the path (sys.path, or PYTHONPATH=tools).
"""
WAIT = 20.0  # seconds before a wait counts as hung; generous for emulated builds
