import vorn
vorn.cmd("set maxtrees=321;")
print("script ran")
