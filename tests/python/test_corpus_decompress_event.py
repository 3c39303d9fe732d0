"""decompress_all records its event where a serial run would, and a call that
fails leaves no event."""

import threading

import numpy as np
import pytest

from marrowfin_rs._core import (Codebook, CodecConfig, CompressionPolicy, Corpus, CorpusDecompressed,
                                VectorsInserted)


def test_events_of_concurrent_inserts_and_decompress_all_are_serialisable():
    config = CodecConfig(4, 5, 8, residual_enabled=False)
    corpus = Corpus("race", config, Codebook(np.linspace(-1, 1, 16).astype(np.float32), 4),
                    CompressionPolicy.FP16)
    corpus.insert("seed", np.zeros(8, np.float32))
    stop = threading.Event()

    def insert(worker):
        # Every decompress_all decodes the whole corpus, so the run grows with
        # the square of this count (the sanitizer build is ten times slower).
        for i in range(800):
            corpus.insert(f"{worker}-{i}", np.full(8, i, np.float32))

    def decompress():
        calls = 0
        while not stop.is_set() or calls < 20:
            corpus.decompress_all()
            calls += 1

    decompressers = [threading.Thread(target=decompress) for _ in range(2)]
    inserters = [threading.Thread(target=insert, args=(w,)) for w in range(4)]
    for thread in decompressers + inserters:
        thread.start()
    for thread in inserters:
        thread.join()
    stop.set()
    for thread in decompressers:
        thread.join()
    inserted, checked = 0, 0
    for event in corpus.pending_events():
        if isinstance(event, VectorsInserted):
            inserted += event.count
        elif isinstance(event, CorpusDecompressed):
            assert event.vector_count == inserted, "an insert slipped between decode and event"
            checked += 1
    assert checked > 0


@pytest.mark.parametrize("policy", ["COMPRESS", "FP16"])
def test_a_call_that_runs_out_of_memory_leaves_no_event(run_python, policy):
    pytest.importorskip("_testcapi").set_nomemory
    output = run_python(f"""
        import _testcapi
        import numpy as np
        from marrowfin_rs._core import *
        config = CodecConfig(4, 5, 16, residual_enabled=True)
        corpus = Corpus("oom", config, Codebook(np.linspace(-1, 1, 16).astype(np.float32), 4),
                        CompressionPolicy.{policy})
        corpus.insert_batch([str(i) for i in range(40)], np.ones((40, 16), np.float32))
        corpus.pending_events()
        successes = failures = 0
        for start in range(1, 400, 3):
            _testcapi.set_nomemory(start, 0)
            try:
                result = corpus.decompress_all()
            except MemoryError:
                result = None
            finally:
                _testcapi.remove_mem_hooks()
            if result is None:
                failures += 1
            else:
                successes += 1
        events = corpus.pending_events()
        assert all(isinstance(e, CorpusDecompressed) and e.vector_count == 40 for e in events)
        print(successes, failures, len(events))
    """)
    successes, failures, events = map(int, output.split())
    assert failures > 0 and successes > 0 and events == successes
