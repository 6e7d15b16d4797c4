// exports: being written
