"""The tick record as a plain Python class, shared by the ctypes and cffi
peers (neither tool has a say in how a Python class is written)."""


class TickLikeDict2(object):
    __slots__ = ['data']

    def __init__(self, data):
        self.data = data

    def __getitem__(self, item):
        return self.data.get(item)

    def __setitem__(self, item, value):
        self.data[item] = value

    def __getattr__(self, item):
        return self.data.get(item)

    def __setattr__(self, item, value):
        if item != 'data':
            self.data[item] = value
        else:
            super(TickLikeDict2, self).__setattr__(item, value)

    def __str__(self):
        return self.data.__str__()

    def __repr__(self):
        return self.data.__repr__()

    @property
    def quotes(self):
        return self.data.get('quotes')

    @quotes.setter
    def quotes(self, value):
        self.data['quotes'] = value

    @property
    def symbol(self):
        return self.data.get('symbol')

    @symbol.setter
    def symbol(self, value):
        self.data['symbol'] = value

    @property
    def created_at(self):
        return self.data.get('created_at')

    @created_at.setter
    def created_at(self, value):
        self.data['created_at'] = value

    @property
    def price(self):
        return self.data.get('price')

    @price.setter
    def price(self, value):
        self.data['price'] = value

    @property
    def open(self):
        return self.data.get('open')

    @open.setter
    def open(self, value):
        self.data['open'] = value

    @property
    def high(self):
        return self.data.get('high')

    @high.setter
    def high(self, value):
        self.data['high'] = value

    @property
    def low(self):
        return self.data.get('low')

    @low.setter
    def low(self, value):
        self.data['low'] = value

    @property
    def cum_volume(self):
        return self.data.get('cum_volume')

    @cum_volume.setter
    def cum_volume(self, value):
        self.data['cum_volume'] = value

    @property
    def cum_amount(self):
        return self.data.get('cum_amount')

    @cum_amount.setter
    def cum_amount(self, value):
        self.data['cum_amount'] = value

    @property
    def cum_position(self):
        return self.data.get('cum_position')

    @cum_position.setter
    def cum_position(self, value):
        self.data['cum_position'] = value

    @property
    def last_amount(self):
        return self.data.get('last_amount')

    @last_amount.setter
    def last_amount(self, value):
        self.data['last_amount'] = value

    @property
    def last_volume(self):
        return self.data.get('last_volume')

    @last_volume.setter
    def last_volume(self, value):
        self.data['last_volume'] = value

    @property
    def trade_type(self):
        return self.data.get('trade_type')

    @trade_type.setter
    def trade_type(self, value):
        self.data['trade_type'] = value

    @property
    def receive_local_time(self):
        return self.data.get('receive_local_time')

    @receive_local_time.setter
    def receive_local_time(self, value):
        self.data['receive_local_time'] = value
