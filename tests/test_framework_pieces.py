import datetime

from tavix.datastructures import AttrDict
from tavix.utils.utils import get_time


def test_attrdict_items_are_attributes_in_insertion_order():
    d = AttrDict(tasklog=1, screen=2)
    d.extra = 3
    assert (d.tasklog, d["extra"], list(d.values())) == (1, 3, [1, 2, 3])
    del d.extra
    assert "extra" not in d
    try:
        d.missing
    except AttributeError as error:
        assert "missing" in str(error)
    else:
        raise AssertionError("missing attribute did not raise")


def test_get_time_is_the_local_time_of_epoch_seconds():
    moment = get_time(0)
    assert moment.timestamp() == 0
    assert moment.timetuple()[:6] == datetime.datetime.fromtimestamp(0).timetuple()[:6]
