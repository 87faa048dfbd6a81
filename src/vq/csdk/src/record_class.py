# The Python text of the record classes, embedded in c_sdk at build time
# (not installed).  c_sdk builds each of its four record classes from the
# class statement below: it puts the class's own name in place of
# ObjectLikeDict2, keeps the methods that class has in that class's order
# (only BarLikeDict2 has __contains__), and writes the property `key` and,
# where the class has setters, its setter once for each of the class's
# property names in place of key.  Blocks are separated by one blank line.


class ObjectLikeDict2(object):
    __module__ = 'c_sdk'
    __slots__ = ['data']

    def __init__(self, data):
        self.data = data

    def __getitem__(self, item):
        return self.data.get(item)

    def __setitem__(self, item, value):
        self.data[item] = value

    def __contains__(self, key):
        return key in self.data

    def __getattr__(self, item):
        return self.data.get(item)

    def __setattr__(self, item, value):
        if item != 'data':
            self.data[item] = value
        else:
            super(ObjectLikeDict2, self).__setattr__(item, value)

    def __str__(self):
        return self.data.__str__()

    def __repr__(self):
        return self.data.__repr__()

    @property
    def key(self):
        return self.data.get('key')

    @key.setter
    def key(self, value):
        self.data['key'] = value
