# arduinodrv: its Python package for every Python 3 of the machine, not only
# Debian's (which finds it in /usr/lib/python3/dist-packages): the folder
# below holds that package alone.
case ":${PYTHONPATH-}:" in
  *:/usr/share/arduinodrv/python:*) ;;
  *) PYTHONPATH=${PYTHONPATH:+$PYTHONPATH:}/usr/share/arduinodrv/python
     export PYTHONPATH ;;
esac
