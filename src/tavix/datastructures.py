"""Data structures shared by the framework."""


class AttrDict(dict):
    """A dict whose items can also be read and written as attributes.

    Insertion order is kept, as for any dict: iterating its values yields them
    in the order they were given.
    """

    def __getattr__(self, name):
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name, value):
        self[name] = value

    def __delattr__(self, name):
        try:
            del self[name]
        except KeyError:
            raise AttributeError(name) from None
