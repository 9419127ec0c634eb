'''A file manager that answers org.freedesktop.FileManager1 and only records the calls.'''

BUS_NAME = 'org.freedesktop.FileManager1'
MAIN_OBJ = '/org/freedesktop/FileManager1'
MAIN_IFACE = 'org.freedesktop.FileManager1'
SYSTEM_BUS = False


def load(mock, parameters):
    mock.AddMethods(MAIN_IFACE, [
        ('ShowFolders', 'ass', '', ''),
        ('ShowItems', 'ass', '', ''),
        ('ShowItemProperties', 'ass', '', ''),
    ])
