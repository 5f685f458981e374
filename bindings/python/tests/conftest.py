"""Fixtures: the controller simulator as a child process on port 6158.

The environment names what to test against:
  QUORVELLAN_LIBRARY    the library variant to load
  QUORVELLAN_SIMULATOR  the quorvellan-controller-sim program
"""
import os

import pytest

import quorvellan

from support import Simulator


@pytest.fixture
def simulator():
    """start_simulator(*options) starts one; every one started is stopped after the test."""
    program = os.environ.get("QUORVELLAN_SIMULATOR")
    if not program:
        pytest.fail("QUORVELLAN_SIMULATOR is not set")
    started = []

    def start(*options):
        running = Simulator(program, *options)
        started.append(running)
        return running

    yield start
    for running in started:
        running.stop()


@pytest.fixture
def lib():
    """The raw library, every prototype declared."""
    return quorvellan.library()
