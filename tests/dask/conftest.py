"""One two-process Dask cluster shared by the tests of a module (starting one takes seconds)."""

import logging

import pytest

distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def client():
    logging.getLogger("distributed").setLevel(logging.CRITICAL)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  worker_dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            client.wait_for_workers(2)
            yield client
