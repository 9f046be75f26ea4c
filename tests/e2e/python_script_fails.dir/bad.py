print("before the error")
raise ValueError("boom")
