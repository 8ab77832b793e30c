import os; os.mkdir("ddp")
