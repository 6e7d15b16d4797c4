// session: being written
