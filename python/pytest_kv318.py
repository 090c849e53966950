"""The kv318 pytest plugin: a fixture `kv318_sim` that runs kv318-sim around
each test that asks for it.

    def test_reads_ramp(kv318_sim):
        with kv318.open(0) as board, board.stream() as stream:
            ...

    @pytest.mark.kv318_sim(signal="ramp", fail="bulk-read:once")
    def test_survives_a_failed_transfer(kv318_sim):
        ...

The marker's keyword arguments are kv318.Simulator's.  Registered through
the package's pytest11 entry point, so installing kv318 is all it takes.
kv318 is imported only when a test uses the fixture, so a missing library
never breaks unrelated test sessions.
"""

import pytest


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "kv318_sim(**options): kv318-sim options for the kv318_sim fixture (see kv318.Simulator)"
    )


@pytest.fixture
def kv318_sim(request):
    """A running kv318.Simulator; boards opened during the test reach it.
    It is stopped after the test, passed or failed."""
    import kv318

    marker = request.node.get_closest_marker("kv318_sim")
    options = dict(marker.kwargs) if marker is not None else {}
    with kv318.Simulator(**options) as sim:
        yield sim
