import pytest

import tagdb


@pytest.fixture
def db():
    """The process's database, empty before the test and after it."""
    tagdb.close_all()
    yield tagdb
    tagdb.close_all()
