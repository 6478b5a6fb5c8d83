import pytest

from qorin import _engine_testing


@pytest.fixture
def testing():
    return _engine_testing
