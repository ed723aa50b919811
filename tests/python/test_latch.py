import threading

from velmora._velmora import OnceLatch


def test_single_winner_sequential():
    latch = OnceLatch()
    assert latch.is_set is False
    assert latch.try_acquire() is True
    assert latch.try_acquire() is False
    assert latch.is_set is True


def test_single_winner_across_threads():
    for _ in range(20):
        latch = OnceLatch()
        barrier = threading.Barrier(8)
        wins = []

        def race():
            barrier.wait()
            wins.append(latch.try_acquire())

        threads = [threading.Thread(target=race) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert wins.count(True) == 1 and len(wins) == 8
