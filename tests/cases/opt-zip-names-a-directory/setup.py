import os; os.mkdir("arch.zip"); os.mkdir("ddp")
