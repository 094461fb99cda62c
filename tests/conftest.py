import os
import shutil
import tempfile
from pathlib import Path

import pytest

# Nothing in the test session may build the full demo market or touch the
# user's store: point the client at a scratch folder and make any implicit
# build the small market.
_SCRATCH = Path(tempfile.mkdtemp(prefix="corvana-tests-"))
os.environ["CORVANA_DATA"] = str(_SCRATCH / "store")
os.environ["CORVANA_DEMO_SIZE"] = "small"


def pytest_unconfigure(config):
    shutil.rmtree(_SCRATCH, ignore_errors=True)


@pytest.fixture(scope="session")
def small_market(tmp_path_factory):
    """The small demo market, built once per session; the client is connected to it."""
    import corvana
    from corvana import synth

    path = tmp_path_factory.mktemp("corvana") / "store"
    corvana.write_store(path, synth.generate("small", progress=False), source="test session")
    os.environ["CORVANA_DATA"] = str(path)
    corvana.connect(path)
    yield path
